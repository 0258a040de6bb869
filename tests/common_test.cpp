// Byte order and the checked reader: golden bytes of every load and store, and reads at the
// very ends of a buffer.
#include "common/common.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace {

const uint8_t kBytes[8] = {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF};

TEST(ByteOrder, LoadsAndStores) {
  EXPECT_EQ(load_le16(kBytes), 0x2301u);
  EXPECT_EQ(load_le32(kBytes), 0x67452301u);
  EXPECT_EQ(load_le64(kBytes), 0xEFCDAB8967452301ull);
  EXPECT_EQ(load_be16(kBytes), 0x0123u);
  EXPECT_EQ(load_be32(kBytes), 0x01234567u);
  EXPECT_EQ(load_be64(kBytes), 0x0123456789ABCDEFull);
  uint8_t out[8] = {};
  store_le64(out, 0xEFCDAB8967452301ull);
  EXPECT_EQ(std::vector<uint8_t>(out, out + 8), std::vector<uint8_t>(kBytes, kBytes + 8));
  EXPECT_EQ(fourcc("VIZU"), 0x555A4956u);
}

// A field that ends at the last byte reads; one byte further fails, sticks, and reads as 0.
TEST(ByteReader, ReadsUpToTheLastByteAndNoFurther) {
  ByteReader r(kBytes, 8);
  uint32_t be = 0;
  EXPECT_TRUE(r.be32(4, be) && be == 0x89ABCDEFu);
  EXPECT_FALSE(r.be32(5, be));
  EXPECT_EQ(be, 0x89ABCDEFu) << "a failed read leaves its output alone";
  EXPECT_EQ(r.le64(0), 0xEFCDAB8967452301ull);
  EXPECT_EQ(r.be16(6), 0xCDEFu);
  EXPECT_EQ(r.u8(7), 0xEFu);
  EXPECT_TRUE(r.ok());
  EXPECT_EQ(r.le32(5), 0u);
  EXPECT_FALSE(r.ok());
  EXPECT_TRUE(r.has_table(2, 3, 2) && !r.has_table(2, 4, 2) && r.span(8, 0) != nullptr);
  EXPECT_EQ(r.span(7, 2), nullptr);
}

}  // namespace

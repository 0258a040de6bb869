// tests/support/bytes.h: small byte helpers shared by the tests: hex text for golden
// vectors, building byte strings, little-endian reads and writes independent of the
// product's own, and capturing what a call prints to standard output.
#ifndef TESTS_SUPPORT_BYTES_H_
#define TESTS_SUPPORT_BYTES_H_

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace testbytes {

using Bytes = std::vector<uint8_t>;

// "31 B0 FE B0": upper-case hex, one space between bytes.
inline std::string Hex(const uint8_t* b, size_t n) {
  static const char* kDigits = "0123456789ABCDEF";
  std::string s;
  for (size_t i = 0; i < n; ++i) {
    if (i) s += ' ';
    s += kDigits[b[i] >> 4];
    s += kDigits[b[i] & 15];
  }
  return s;
}
inline std::string Hex(const Bytes& b) { return Hex(b.data(), b.size()); }

inline Bytes Zeros(size_t n) { return Bytes(n, 0); }

inline Bytes Cat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// Little-endian reads; bytes outside the buffer throw (std::out_of_range), which fails
// the test instead of reading past it.
inline uint32_t le32(const Bytes& b, size_t off) {
  return uint32_t(b.at(off)) | uint32_t(b.at(off + 1)) << 8 | uint32_t(b.at(off + 2)) << 16 |
         uint32_t(b.at(off + 3)) << 24;
}
inline uint16_t le16(const Bytes& b, size_t off) { return uint16_t(b.at(off) | b.at(off + 1) << 8); }
inline uint64_t le64(const Bytes& b, size_t off) {
  return le32(b, off) | uint64_t(le32(b, off + 4)) << 32;
}
// The four bytes at off as text, or "<end>" when they lie past the end.
inline std::string fourcc(const Bytes& b, size_t off) {
  if (off > b.size() || b.size() - off < 4) return "<end>";
  return std::string(reinterpret_cast<const char*>(b.data() + off), 4);
}

inline void put32(Bytes& b, size_t off, uint32_t v) {
  for (int i = 0; i < 4; ++i) b.at(off + i) = uint8_t(v >> (8 * i));
}
inline void put16(Bytes& b, size_t off, uint16_t v) {
  b.at(off) = uint8_t(v);
  b.at(off + 1) = uint8_t(v >> 8);
}

// Runs f() and returns what it printed to standard output.
template <typename F>
std::string captured_stdout(F f) {
  testing::internal::CaptureStdout();
  f();
  std::fflush(stdout);
  return testing::internal::GetCapturedStdout();
}

}  // namespace testbytes

#endif  // TESTS_SUPPORT_BYTES_H_

// codec/bit_io.h: bit and byte access for the count header and the range decoder.
// Private to codec/.
//
// Bits are packed from the most significant bit of each byte down to the least.
// The readers take untrusted (pointer, length) input: a read past the end returns 0 and
// sets a flag that the caller checks once when it is done, so the inner loops keep one
// cheap branch per read.
#ifndef CODEC_BIT_IO_H_
#define CODEC_BIT_IO_H_

#include <cstddef>
#include <cstdint>

namespace bit_io {

// Writes bits into out. The current byte is cleared before its first bit is placed, and
// moving on to a new byte clears that byte at once, so a string ending on a byte boundary
// has also cleared the byte after it.
class BitWriter {
 public:
  explicit BitWriter(uint8_t* out) : out_(out) { out_[0] = 0; }

  void WriteBit(uint32_t bit) {
    if (bit) out_[byte_] |= static_cast<uint8_t>(0x80u >> bit_);
    if (++bit_ == 8) {
      bit_ = 0;
      out_[++byte_] = 0;
    }
  }

  // The bytes that hold at least one written bit.
  size_t BytesUsed() const { return byte_ + (bit_ != 0 ? 1 : 0); }

 private:
  uint8_t* out_;
  size_t byte_ = 0;
  uint32_t bit_ = 0;
};

class BitReader {
 public:
  BitReader(const uint8_t* in, size_t len) : in_(in), len_(len) {}

  uint32_t ReadBit() {
    const size_t byte = pos_ >> 3;
    if (byte >= len_) {
      overrun_ = true;
      ++pos_;
      return 0;
    }
    const uint32_t bit = (in_[byte] >> (7 - (pos_ & 7))) & 1u;
    ++pos_;
    return bit;
  }

  // The bytes that hold at least one consumed bit.
  size_t BytesUsed() const { return (pos_ + 7) >> 3; }
  // True when every bit read lay inside the input.
  bool AllReadsWithinBounds() const { return !overrun_; }

 private:
  const uint8_t* in_;
  size_t len_;
  size_t pos_ = 0;
  bool overrun_ = false;
};

class ByteReader {
 public:
  ByteReader(const uint8_t* in, size_t len, size_t start) : in_(in), len_(len), pos_(start) {}

  uint32_t Next() {
    if (pos_ >= len_) {
      overrun_ = true;
      return 0;
    }
    return in_[pos_++];
  }

  bool AllReadsWithinBounds() const { return !overrun_; }

 private:
  const uint8_t* in_;
  size_t len_;
  size_t pos_;
  bool overrun_ = false;
};

}  // namespace bit_io

#endif  // CODEC_BIT_IO_H_

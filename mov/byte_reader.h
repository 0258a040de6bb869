// mov/byte_reader.h: checked big-endian reads over the header window. Private to mov/.
//
// Every read names its offset from the start of the buffer and fails (returns false,
// leaves the output alone) unless all of its bytes lie inside the buffer. The checks are
// written as off <= size && n <= size - off, so they cannot overflow.
#ifndef MOV_BYTE_READER_H_
#define MOV_BYTE_READER_H_

#include <cstddef>
#include <cstdint>

namespace mov_internal {

class ByteReader {
 public:
  ByteReader(const unsigned char* data, size_t size) : data_(data), size_(size) {}

  size_t size() const { return size_; }
  const unsigned char* data() const { return data_; }

  // True when the n bytes at off lie wholly inside the buffer.
  bool has(size_t off, size_t n) const { return off <= size_ && n <= size_ - off; }
  // True when count entries of entry_size bytes at off lie wholly inside the buffer. The
  // count is a claim read from the file, so it is divided, never multiplied.
  bool has_table(size_t off, uint64_t count, size_t entry_size) const {
    return off <= size_ && count <= (size_ - off) / entry_size;
  }

  [[nodiscard]] bool be16(size_t off, uint16_t& out) const {
    if (!has(off, 2)) return false;
    out = static_cast<uint16_t>(data_[off] << 8 | data_[off + 1]);
    return true;
  }
  [[nodiscard]] bool be32(size_t off, uint32_t& out) const {
    if (!has(off, 4)) return false;
    out = load_be32(data_ + off);
    return true;
  }
  [[nodiscard]] bool be64(size_t off, uint64_t& out) const {
    if (!has(off, 8)) return false;
    out = uint64_t{load_be32(data_ + off)} << 32 | load_be32(data_ + off + 4);
    return true;
  }
  // The four bytes at off as they stand in the file.
  [[nodiscard]] bool fourcc(size_t off, unsigned char (&out)[4]) const {
    if (!has(off, 4)) return false;
    for (int i = 0; i < 4; ++i) out[i] = data_[off + i];
    return true;
  }

  // The one place where four big-endian bytes become a number.
  static uint32_t load_be32(const unsigned char* p) {
    return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | uint32_t{p[3]};
  }

 private:
  const unsigned char* data_;
  size_t size_;
};

}  // namespace mov_internal

#endif  // MOV_BYTE_READER_H_

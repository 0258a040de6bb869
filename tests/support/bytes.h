// tests/support/bytes.h: hex text for golden vectors, little-endian fields, a hash for
// whole-file goldens, the one writer of QuickTime atoms and RIFF chunks, and what a call
// prints to standard output.
#ifndef TESTS_SUPPORT_BYTES_H_
#define TESTS_SUPPORT_BYTES_H_

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace testbytes {

using Bytes = std::vector<uint8_t>;

// "31 B0 FE B0": upper-case hex, one space between bytes.
inline std::string Hex(const uint8_t* b, size_t n) {
  static const char d[] = "0123456789ABCDEF";
  std::string s;
  for (size_t i = 0; i < n; ++i) s += std::string(i ? " " : "") + d[b[i] >> 4] + d[b[i] & 15];
  return s;
}
inline std::string Hex(const Bytes& b) { return Hex(b.data(), b.size()); }

inline Bytes Cat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// Little-endian fields; bytes outside the buffer throw, which fails the test.
inline uint32_t le32(const Bytes& b, size_t off) {
  return uint32_t(b.at(off) | b.at(off + 1) << 8 | b.at(off + 2) << 16 |
                  uint32_t(b.at(off + 3)) << 24);
}
inline void put32(Bytes& b, size_t off, uint32_t v) {
  for (int i = 0; i < 4; ++i) b.at(off + i) = uint8_t(v >> (8 * i));
}
inline std::string fourcc(const Bytes& b, size_t off) {
  return off + 4 <= b.size() ? std::string(b.begin() + long(off), b.begin() + long(off + 4)) : "";
}

// FNV-1a, 64 bits: whole outputs are compared by this hash.
inline uint64_t Fnv(const Bytes& b, uint64_t h = 0xcbf29ce484222325ull) {
  for (uint8_t c : b) h = (h ^ c) * 0x100000001b3ull;
  return h;
}

// QuickTime atoms (big-endian; the size comes first and counts the 8-byte head) or RIFF
// chunks (little-endian; the id comes first, the size counts the data only).
struct ByteWriter {
  explicit ByteWriter(bool big_endian) : be(big_endian) {}
  ByteWriter& num(uint64_t v, int n) {
    for (int i = 0; i < n; ++i) b.push_back(uint8_t(v >> (8 * (be ? n - 1 - i : i))));
    return *this;
  }
  ByteWriter& u16(uint32_t v) { return num(v, 2); }
  ByteWriter& u32(uint64_t v) { return num(v, 4); }
  ByteWriter& u64(uint64_t v) { return num(v, 8); }
  ByteWriter& cc(const std::string& code) { return bytes(Bytes(code.begin(), code.begin() + 4)); }
  ByteWriter& zeros(size_t n) { return bytes(Bytes(n, 0)); }
  ByteWriter& bytes(const Bytes& d) { return b.insert(b.end(), d.begin(), d.end()), *this; }
  // Opens an atom or chunk (a RIFF list with its type); returns its start for close.
  size_t open(const std::string& id, const char* list_type = nullptr) {
    const size_t at = b.size();
    be ? u32(0).cc(id) : cc(id).u32(0);
    if (list_type) cc(list_type);
    return at;
  }
  // Patches the size, then pads with zeros to a multiple of pad_to from the start.
  void close(size_t at, size_t pad_to = 1) {
    const uint64_t size = b.size() - at - (be ? 0 : 8);
    for (int i = 0; i < 4; ++i) b[at + (be ? 0 : 4) + i] = uint8_t(size >> (8 * (be ? 3 - i : i)));
    while ((b.size() - at) % pad_to) b.push_back(0);
  }
  bool be;
  Bytes b;
};

template <typename F>
std::string captured_stdout(F f) {
  testing::internal::CaptureStdout();
  f();
  std::fflush(stdout);
  return testing::internal::GetCapturedStdout();
}

}  // namespace testbytes

#endif  // TESTS_SUPPORT_BYTES_H_

// avi/riff.h: little-endian stores of RIFF/AVI fields, private to avi/.
//
// Every number in an AVI file is little-endian. The 32-bit stores go through
// to_avi_edian_l (avi/avi.h) and a memcpy, so byte order lives in one place and
// unaligned positions are fine. Four-character codes are their four ASCII bytes in
// reading order and are never swapped.
//
// Reading goes through the checked reader of avi_reader.cpp, which loads its own fields.
#ifndef AVI_RIFF_H_
#define AVI_RIFF_H_

#include <cstdint>
#include <cstring>

#include "avi/avi.h"

namespace riff {

inline void store_le32(uint8_t* p, uint32_t value) {
  const uint32_t file_form = static_cast<uint32_t>(to_avi_edian_l(value));
  std::memcpy(p, &file_form, 4);
}

inline void store_le16(uint8_t* p, uint16_t value) {
  p[0] = static_cast<uint8_t>(value);
  p[1] = static_cast<uint8_t>(value >> 8);
}

inline void store_le64(uint8_t* p, uint64_t value) {
  store_le32(p, static_cast<uint32_t>(value));
  store_le32(p + 4, static_cast<uint32_t>(value >> 32));
}

// The four ASCII bytes of a code such as "00dc".
inline void store_fourcc(uint8_t* p, const char* code) { std::memcpy(p, code, 4); }

}  // namespace riff

#endif  // AVI_RIFF_H_

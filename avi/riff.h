// avi/riff.h: little-endian stores of RIFF/AVI fields, private to avi/.
//
// Every number in an AVI file is little-endian; the stores are common/common.h's, so
// byte order lives in one place and unaligned positions are fine. Four-character codes
// are their four ASCII bytes in reading order and are never swapped. Reading goes
// through common/common.h's checked ByteReader.
#ifndef AVI_RIFF_H_
#define AVI_RIFF_H_

#include <cstdint>
#include <cstring>

#include "common/common.h"

namespace riff {

using ::store_le16;
using ::store_le32;
using ::store_le64;

// The four ASCII bytes of a code such as "00dc".
inline void store_fourcc(uint8_t* p, const char* code) { std::memcpy(p, code, 4); }

}  // namespace riff

#endif  // AVI_RIFF_H_

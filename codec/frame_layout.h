// codec/frame_layout.h: the layout of a Vozodiva frame, shared by the frame compressor
// and the frame decoder. Private to codec/.
//
// Byte 0 is the type. Type 4 continues with the 32-bit little-endian offsets of channel
// streams 2 and 3, counted from byte 0; stream 1 starts right behind them.
#ifndef CODEC_FRAME_LAYOUT_H_
#define CODEC_FRAME_LAYOUT_H_

#include <cstddef>
#include <cstdint>

namespace frame_layout {

constexpr unsigned char kKeyFrameType = 4;
constexpr unsigned char kSolidByteType = 5;   // 5, v
constexpr unsigned char kSolidPixelType = 6;  // 6, byte 0, byte 1, byte 2
constexpr size_t kSolidByteBytes = 2;
constexpr size_t kSolidPixelBytes = 4;
constexpr size_t kStream2OffsetAt = 1;
constexpr size_t kStream3OffsetAt = 5;
constexpr size_t kKeyHeaderBytes = 9;

// Frame offsets are stored through these two and nowhere else.
inline void StoreLE32(uint32_t v, unsigned char* p) {
  p[0] = static_cast<unsigned char>(v);
  p[1] = static_cast<unsigned char>(v >> 8);
  p[2] = static_cast<unsigned char>(v >> 16);
  p[3] = static_cast<unsigned char>(v >> 24);
}

inline uint32_t LoadLE32(const unsigned char* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

// Room for zero::RLE on a plane of n bytes: its output is at most 1.5 n + 3 bytes (a
// lone zero costs two bytes at level 1, and a plane ending in fewer zeros than the level
// is padded to a whole run code). A decoder sizes its run buffer the same way, so any
// run length above it in a stream is damage.
inline size_t MaxRunCodedBytes(size_t n) { return n + (n + 1) / 2 + 3; }

}  // namespace frame_layout

#endif  // CODEC_FRAME_LAYOUT_H_

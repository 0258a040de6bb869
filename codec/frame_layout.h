// codec/frame_layout.h: the layout of a Vozodiva frame, shared by the frame compressor
// and the frame decoder. Private to codec/.
//
// Byte 0 is the type. Type 4 continues with the 32-bit little-endian offsets of channel
// streams 2 and 3, counted from byte 0 (stored and loaded through common/common.h);
// stream 1 starts right behind them.
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

}  // namespace frame_layout

#endif  // CODEC_FRAME_LAYOUT_H_

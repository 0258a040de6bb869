// codec/codec.h: the Vozodiva lossless video codec (FourCC "VIZU"), both directions.
//
// Read me first. A frame is width x height pixels of 3 bytes (blue, green, red as the
// converter supplies them), rows packed with no filler. Every frame is coded on its own:
//   type 5: 2 bytes, every byte of every pixel has one value;
//   type 6: 4 bytes, every pixel has one colour;
//   type 4: 1 type byte, two 32-bit little-endian offsets of channel streams 2 and 3, then
//           three channel streams (method byte, count header, range code) of the residual
//           planes left by colour decorrelation and median prediction.
// Numbers inside a frame are little-endian; the count header is a bit string packed from
// the most significant bit of each byte; the range code goes out most significant byte
// first.
//
// The codec is pure: no file or console I/O, no mutable globals, no allocation after
// set-up. Encoders write into caller memory whose capacity the caller sizes from the
// bounds below. Decoders take untrusted bytes with their length, never read or write
// outside the buffers they are given, always end, and report a damaged frame with false.
#ifndef CODEC_CODEC_H_
#define CODEC_CODEC_H_

#include <cstddef>
#include <cstdint>
#include <memory>

#include "common/common.h"
#include "zero/zero.h"

// ---------------------------------------------------------------------------------------
// The count header: 256 symbol counts, Fibonacci-coded bit lengths.

// Writes the header of count values at out and returns its length in bytes; may clear
// one byte beyond that length. At most 1,248 bytes (+1 cleared) for 256 values.
unsigned int FibonacciEncode2(const unsigned int* values, unsigned char* out, unsigned int count);
// Reads a header from untrusted bytes; returns its length in bytes, or 0 when it does not
// lie wholly in in_len bytes.
unsigned int FibonacciDecode2(const unsigned char* in, size_t in_len, unsigned int* values,
                              unsigned int count);

constexpr unsigned int kMaxCountHeaderBytes = 1248;

// Proven upper bound on the extent Compress::compact returns for a plane of `length`
// bytes (method byte, run length, count header, range code and the unwritten last byte).
size_t MaxChannelStreamBytes(uint32_t length);

// ---------------------------------------------------------------------------------------
// The entropy coder of one channel stream at a time: the probability table, the range
// coder and the packing of a plane into a self-contained channel stream.
class Compress {
 public:
  Compress();
  ~Compress();
  Compress(const Compress&) = delete;
  Compress& operator=(const Compress&) = delete;

  std::unique_ptr<uint32_t[]> prob;    // 257 cumulative entries; prob[256] is the total
  uint32_t shift = 0;                  // log2 of the total
  std::unique_ptr<uint32_t[]> counts;  // 256 raw counts
  std::unique_ptr<uint8_t[]> rle_buffer;
  size_t rle_capacity = 0;

  void InitCompressBuffers(unsigned int size);
  void FreeCompressBuffers();

  // Range-codes length bytes with the table in prob and shift; returns the code's length.
  unsigned int encode(const unsigned char* in, unsigned char* out, unsigned int length);
  // Packs `length` plane bytes into a channel stream at out; returns its extent: the
  // stream's bytes and one more, a final byte set to 0. Leaves the stream's table in
  // prob and shift.
  unsigned int compact(const unsigned char* in, unsigned char* out, unsigned int length);
  // The inverse, for untrusted bytes: false when the stream (in_len bytes) is damaged or would make
  // the decoder read past its end; out then holds unspecified bytes.
  [[nodiscard]] bool uncompact(const unsigned char* in, size_t in_len, unsigned char* out,
                               unsigned int length);
};

// ---------------------------------------------------------------------------------------
// Pixel prediction.

// Both directions take `scratch` of PredictScratchBytes(width) bytes: two rows of three
// channels and a little slack.
size_t PredictScratchBytes(int width);
// Colour decorrelation (byte 1 subtracted from bytes 0 and 2) and median prediction of
// the frame (width x height pixels of 3 bytes, not changed) into its three residual
// planes of n = width x height bytes: plane c, the byte-c residuals in pixel order, at
// planes + c x n. Left of a row's first pixel is the last pixel of the row before.
void DeEntropy(const unsigned char* frame, unsigned char* planes, int width, int height,
               unsigned char* scratch);
// The same planes from the frame as a "raw " movie stores it (rows top first, pixels red,
// green, blue): what DeEntropy gives for its DIB form, without making that form.
void DeEntropyRaw(const unsigned char* raw, unsigned char* planes, int width, int height,
                  unsigned char* scratch);
// The inverse: rebuilds the frame from its three residual planes.
void ReEntropy(const unsigned char* planes, unsigned char* frame, int width, int height,
               unsigned char* scratch);
// The same from planes anywhere, plane c at plane[c]. Plane 2 may be the frame's own
// last third (plane[2] = frame + 2 n), which spares a plane of memory: frame row y is
// written after plane row y is read, and rows 0 to y of the frame end before row y + 1
// of plane 2 begins there.
void ReEntropy(const unsigned char* const plane[3], unsigned char* frame, int width, int height,
               unsigned char* scratch);
// ReEntropy of two frames of one geometry at once, the same bytes, plane c of frame k at
// planes[k][c] (plane 2 may lie in its frame, as above): the rebuild is one serial chain
// through a frame, and two chains side by side keep a core busier. scratch holds
// PredictScratchBytesTwo(width) bytes.
size_t PredictScratchBytesTwo(int width);
void ReEntropyTwo(const unsigned char* const planes[2][3], unsigned char* const frames[2],
                  int width, int height, unsigned char* scratch);

// ---------------------------------------------------------------------------------------
// Frame compression.

struct ICCOMPRESS {
  uint32_t flags = 0;  // set by the codec: 16, the key-frame flag
  uint32_t size = 0;   // set by the codec: bytes written at output
  unsigned char* output = nullptr;
  const unsigned char* input = nullptr;
};

// Proven upper bound on the length of one compressed frame of this geometry; 0 for a
// geometry that CompressBegin refuses.
size_t MaxCompressedFrameSize(int width, int height);

class CodecInst {
 public:
  CodecInst();
  ~CodecInst();
  CodecInst(const CodecInst&) = delete;
  CodecInst& operator=(const CodecInst&) = delete;

  std::unique_ptr<uint8_t[]> residual_buffer;  // scratch of prediction and coding
  const unsigned char* input = nullptr;        // the frame of the current call
  unsigned char* output = nullptr;             // where its Vozodiva frame goes
  std::unique_ptr<uint8_t[]> work_buffer;      // the three residual planes
  uint32_t length = 0;
  int32_t width = 0;
  int32_t height = 0;
  int32_t bit_count = 0;
  Compress compressor;

  // Returns 0, or non-zero with no buffers held when width or height is not positive,
  // bit_count is not 24, a plane exceeds kMaxChannelBytes or memory cannot be obtained.
  int CompressBegin(int width, int height, int bit_count);
  // The caller's output buffer must hold MaxCompressedFrameSize(width, height) bytes.
  // The frame at the record's input: SolidFrameTest, else KeyCompress.
  int CompressContinue(ICCOMPRESS* icc, unsigned long unused);
  // CompressContinue for the frame as a "raw " movie stores it (rows top first, pixels
  // red, green, blue): the Vozodiva frame of its DIB form, byte for byte.
  int CompressRawContinue(ICCOMPRESS* icc);
  // 1 when every pixel of the frame at `input` has one colour and the 2- or 4-byte frame
  // was written at `output`; else 0 with nothing written.
  int SolidFrameTest(ICCOMPRESS* icc);
  // Writes the frame at `input` as a key frame at `output`; returns its length.
  int KeyCompress(ICCOMPRESS* icc);
  int CompressEnd();
};

// Decodes Vozodiva frames of one geometry. Buffers are sized once by Begin.
class FrameDecoder {
 public:
  FrameDecoder();
  ~FrameDecoder();
  FrameDecoder(const FrameDecoder&) = delete;
  FrameDecoder& operator=(const FrameDecoder&) = delete;

  // False when the geometry cannot be decoded (a plane above kMaxChannelBytes, or a size
  // that does not fit memory arithmetic). `pairs` also sizes the buffers of DecodeTwo.
  [[nodiscard]] bool Begin(int width, int height, bool pairs = false);
  // Decodes the in_len bytes at in into width x height x 3 bytes at out. False when the
  // frame is damaged (unknown type, offsets or streams outside the frame, a stream that
  // does not decode to exactly one plane). A frame shorter than its type needs is
  // damaged; bytes beyond it are ignored by the solid types and belong to the third
  // stream of a key frame. out is working memory until the frame is rebuilt, so it must
  // not overlap in, and a damaged frame leaves it undefined.
  [[nodiscard]] bool Decode(const unsigned char* in, size_t in_len, unsigned char* out);
  // Decodes two frames, ok[k] what Decode gives for frame k. Two key frames have their six
  // range codes decoded in one interleaved pass, which keeps a core busier than three.
  // Without `pairs` at Begin the frames are decoded one after the other.
  void DecodeTwo(const unsigned char* const in[2], const size_t in_len[2],
                 unsigned char* const out[2], bool ok[2]);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

#endif  // CODEC_CODEC_H_

// codec/entropy_detail.h: the checked and bounded forms behind the entropy coder's public
// functions, and the pieces the frame compressor and frame decoder use to handle a
// frame's three channel streams together (plan the streams, range-code all three in one
// interleaved pass, finish them). Shared by the files of codec/. Private to codec/.
#ifndef CODEC_ENTROPY_DETAIL_H_
#define CODEC_ENTROPY_DETAIL_H_

#include <cstddef>
#include <cstdint>

namespace entropy_detail {

// The largest total the range coder keeps exact: after each normalisation the range is
// above 2^23, so r = range >> shift stays at least 1.
constexpr uint32_t kMaxTotal = 1u << 23;

// Scales 256 counts that add up to length (1 to kMaxTotal) into the cumulative table
// prob[0..256] (prob[256] = the power-of-two total) and returns its log2, the shift.
uint32_t BuildProbTable(const uint32_t* counts, uint32_t length, uint32_t* prob);

// Range-decodes length bytes into out from the code at in (in[0] is the skipped first
// byte). False when the code would need bytes at or past in + in_len, or when it drives
// the decoder into a state no writer reaches. The table must have a total of at most
// kMaxTotal.
bool DecodeWithin(const uint32_t* prob, uint32_t shift, const unsigned char* in, size_t in_len,
                  unsigned char* out, uint32_t length);

// Counts the 256 byte values of data into counts (all entries set).
void CountBytes(const unsigned char* data, uint32_t length, uint32_t* counts);

// A channel stream with everything but its range code written: the method byte, the run
// length and the count header are at out, and the range code of `coded` bytes at data
// goes to out + code_at, its first byte over the header's last byte (kept).
struct StreamPlan {
  const unsigned char* data;
  uint32_t coded;
  uint32_t prob[257];
  uint32_t shift;
  unsigned char* out;
  size_t code_at;
  unsigned char kept;
};

// The first half of Compress::compact: chooses the method, zero-run codes into rle (at
// most rle_capacity bytes) when it pays, counts into counts, builds the table and writes
// the stream up to its range code.
void PlanStream(const unsigned char* in, uint32_t length, unsigned char* rle, size_t rle_capacity,
                uint32_t* counts, unsigned char* out, StreamPlan* plan);
// The second half, once code_bytes of range code are at out + code_at: puts the header's
// last byte back, sets the unwritten last byte of the extent to 0 and returns the extent.
unsigned int FinishStream(const StreamPlan& plan, uint32_t code_bytes);

// One range code to write: `length` bytes at `in` coded with the table prob/shift at
// `out`; `written` receives the code's length, as Compress::encode returns it.
struct RangeJob {
  const unsigned char* in;
  uint32_t length;
  const uint32_t* prob;
  uint32_t shift;
  unsigned char* out;
  uint32_t written;
};

// Writes three range codes, each byte for byte what Compress::encode writes for it, by
// interleaving their symbols.
void EncodeThree(RangeJob* jobs);

// A channel stream read up to its range code: the method, the table, where the code
// lies, and where its `coded` bytes go (the plane itself for method 0, else the run
// buffer).
struct UnpackPlan {
  unsigned int method;
  uint32_t prob[257];
  uint32_t shift;
  const unsigned char* code;
  size_t code_len;
  unsigned char* coded_out;
  uint32_t coded;
};

// The first half of the untrusted Compress::uncompact: false when the stream's method,
// run length or count header is damaged. rle (rle_capacity bytes) receives the
// zero-run-coded bytes of methods 1 to 3.
bool PlanUnpack(const unsigned char* in, size_t in_len, unsigned char* out, uint32_t length,
                unsigned char* rle, size_t rle_capacity, UnpackPlan* plan);
// The second half, once the range code is decoded: undoes the zero-run coding into out.
bool FinishUnpack(const UnpackPlan& plan, unsigned char* out, uint32_t length);

// One range code to read, as DecodeWithin takes it.
struct RangeSource {
  const uint32_t* prob;
  uint32_t shift;
  const unsigned char* in;
  size_t in_len;
  unsigned char* out;
  uint32_t length;
};

// DecodeWithin for three codes at once, their symbols interleaved: true when all three
// decode as DecodeWithin would decode them. The output buffers must not overlap.
bool DecodeThree(const RangeSource* sources);
// The same for six codes, the three of two frames, whose chains overlap further.
bool DecodeSix(const RangeSource* sources);

}  // namespace entropy_detail

#endif  // CODEC_ENTROPY_DETAIL_H_

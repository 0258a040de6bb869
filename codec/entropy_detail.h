// codec/entropy_detail.h: the checked and bounded forms behind the entropy coder's public
// functions, shared by the files of codec/ that implement it. Private to codec/.
#ifndef CODEC_ENTROPY_DETAIL_H_
#define CODEC_ENTROPY_DETAIL_H_

#include <cstddef>
#include <cstdint>

namespace entropy_detail {

// The largest total the range coder keeps exact: after each normalisation the range is
// above 2^23, so r = range >> shift stays at least 1.
constexpr uint32_t kMaxTotal = 1u << 23;

// zero::RLE that never writes at or past dst + dst_capacity: returns the coded length, or
// -1 when the coded string would not fit (dst then holds a partial string). Output that
// fits is identical to zero::RLE's.
int RunCodeWithin(const unsigned char* src, unsigned char* dst, int n, int level,
                  size_t dst_capacity);

// Scales 256 counts that add up to length (1 to kMaxTotal) into the cumulative table
// prob[0..256] (prob[256] = the power-of-two total) and returns its log2, the shift.
uint32_t BuildProbTable(const uint32_t* counts, uint32_t length, uint32_t* prob);

// Range-decodes length bytes into out from the code at in (in[0] is the skipped first
// byte). False when the code would need bytes at or past in + in_len, or when it drives
// the decoder into a state no writer reaches. The table must have a total of at most
// kMaxTotal.
bool DecodeWithin(const uint32_t* prob, uint32_t shift, const unsigned char* in, size_t in_len,
                  unsigned char* out, uint32_t length);

}  // namespace entropy_detail

#endif  // CODEC_ENTROPY_DETAIL_H_

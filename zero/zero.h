// zero/zero.h: zero-run coding at levels 1 to 3, for the codec's channel planes and the
// AVI writer's packed header template.
//
// Read me first. At level m a run of at least m zeros becomes m zero bytes and a code
// byte for the zeros beyond m; every other byte stands as it is. The coders are pure:
// they write into caller memory whose capacity the caller sizes from MaxRunCodedBytes.
// The untrusted decoder never reads past the bytes it is given and reports a coded
// string that ends too early with -1.
#ifndef ZERO_ZERO_H_
#define ZERO_ZERO_H_

#include <cstddef>

namespace zero {

// Codes n bytes at src into dst; returns the bytes written (0 for n <= 0 or a level other
// than 1, 2, 3). dst must hold MaxRunCodedBytes(n) bytes.
int RLE(const unsigned char* src, unsigned char* dst, int n, int level);
// The level (1, 2, 3) that saves the most bytes, or 0 when none saves min_saving bytes.
int testRLE(const unsigned char* src, int n, int min_saving);
// Decodes until n bytes are produced; returns the bytes of src consumed. Trusts src to
// hold a complete coded string (used for the AVI header template).
int deRLE(const unsigned char* src, unsigned char* dst, int n, int level);
// The same for untrusted input: reads nothing at or past src + src_len. Returns the bytes
// consumed, or -1 when the coded string ends before n bytes are produced.
int deRLE(const unsigned char* src, size_t src_len, unsigned char* dst, int n, int level);

// RLE that never writes at or past dst + dst_capacity: returns the coded length, or -1
// when the coded string would not fit (dst then holds a partial string). Output that
// fits is identical to RLE's.
int RunCodeWithin(const unsigned char* src, unsigned char* dst, int n, int level,
                  size_t dst_capacity);

// Room for RLE on n bytes: its output is at most 1.5 n + 3 bytes (a lone zero costs two
// bytes at level 1, and a string ending in fewer zeros than the level is padded to a
// whole run code). A decoder sizes its run buffer the same way, so any run length above
// it in a stream is damage.
inline size_t MaxRunCodedBytes(size_t n) { return n + (n + 1) / 2 + 3; }

}  // namespace zero

#endif  // ZERO_ZERO_H_

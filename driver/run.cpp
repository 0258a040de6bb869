#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "avi/avi.h"
#include "codec/codec.h"
#include "driver/driver.h"
#include "driver/frame_pass.h"
#include "mov/mov.h"

InputFile::~InputFile() {
  if (fd_ >= 0) ::close(fd_);
}

bool InputFile::open(const char* name) {
  fd_ = ::open(name, O_RDONLY | O_CLOEXEC);
  if (fd_ < 0) return false;
  struct stat st;
  if (::fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode)) return false;
  size_ = static_cast<uint64_t>(st.st_size);
  return true;
}

bool InputFile::read_at(uint64_t offset, unsigned char* dst, uint64_t n) const {
  if (offset > size_ || n > size_ - offset) return false;
  while (n > 0) {
    const ssize_t got = ::pread(fd_, dst, static_cast<size_t>(n), static_cast<off_t>(offset));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;  // an error, or the file shrank under us
    dst += got;
    offset += static_cast<uint64_t>(got);
    n -= static_cast<uint64_t>(got);
  }
  return true;
}

namespace {

// True when output names the input file itself, through any path or link.
bool same_file(const char* input, const char* output) {
  struct stat in_st, out_st;
  if (::stat(input, &in_st) != 0 || ::stat(output, &out_st) != 0) return false;
  return in_st.st_dev == out_st.st_dev && in_st.st_ino == out_st.st_ino;
}

}  // namespace

int run_conversion(const Options& options) {
  InputFile input;
  if (!input.open(options.input)) {
    std::printf("Unable to open the input file.\n");
    return 1;
  }
  if (same_file(options.input, options.output)) {
    std::printf("The output file %s is the input file; choose another name for the AVI file.\n",
                options.output);
    return 1;
  }

  MovieHeader movie;
  const ReadAt read_at = [&input](uint64_t offset, unsigned char* dst, size_t n) {
    return input.read_at(offset, dst, n);
  };
  if (!read_movie(input.size(), read_at, movie)) return 1;

  const uint64_t frame_size = uint64_t(movie.width) * uint64_t(movie.height) * 3;

  if (!options.uncompressed && frame_size / 3 > kMaxChannelBytes) {
    std::printf("Frames of %dx%d pixels are too large for the Vozodiva codec; use -u for an uncompressed AVI file.\n",
                movie.width, movie.height);
    return 1;
  }
  // An AVI chunk of the first RIFF list has to hold a whole uncompressed frame.
  if (options.uncompressed && frame_size + 8 + kAviHeaderBytes > kDefaultRiffLimit) {
    std::printf("Frames of %dx%d pixels are too large for an AVI file.\n", movie.width, movie.height);
    return 1;
  }
  // A frame that cannot lie in the input cannot be converted; checking here keeps every
  // buffer sized by a number the file backs.
  if (total_frames > 0 && frame_size > input.size()) {
    std::printf("Frame 1 of %d lies past the end of the input file or cannot be read; the movie is truncated or damaged.\n",
                total_frames);
    return 1;
  }

  return run_frame_pass(options, movie, input);
}

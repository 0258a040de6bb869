// common/input_file.cpp: the input file read at absolute offsets, and same_file.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "common/common.h"

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

bool same_file(const char* a, const char* b) {
  struct stat sa, sb;
  if (::stat(a, &sa) != 0 || ::stat(b, &sb) != 0) return false;
  return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

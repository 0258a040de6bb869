// driver/frame_pass.h: moving every frame from the movie into the AVI file (private to
// the driver).
#ifndef DRIVER_FRAME_PASS_H_
#define DRIVER_FRAME_PASS_H_

#include <cstddef>
#include <cstdint>

#include "driver/driver.h"
#include "mov/mov.h"

// The movie, opened once for reading and never for writing. Reads go to absolute offsets
// (pread), so worker threads read their own frames side by side.
class InputFile {
 public:
  InputFile() = default;
  ~InputFile();
  InputFile(const InputFile&) = delete;
  InputFile& operator=(const InputFile&) = delete;

  // Regular files only: a directory opens on some systems but every read from it fails.
  [[nodiscard]] bool open(const char* name);
  uint64_t size() const { return size_; }
  // Reads n bytes at offset; false when they do not lie wholly in the file or the read
  // fails or comes up short.
  [[nodiscard]] bool read_at(uint64_t offset, unsigned char* dst, uint64_t n) const;

 private:
  int fd_ = -1;
  uint64_t size_ = 0;
};

// Reads, converts, compresses (unless -u) and writes every frame of frame_offsets;
// returns the exit status. Prints the "Writing" and closing messages.
int run_frame_pass(const Options& options, const MovieHeader& movie, InputFile& input);

#endif  // DRIVER_FRAME_PASS_H_

// tests/support/test_files.h: running the real binaries, temporary files and a small,
// independent reading of the AVI files zoduviv writes, for the end-to-end tests.
#ifndef TESTS_SUPPORT_TEST_FILES_H_
#define TESTS_SUPPORT_TEST_FILES_H_

#include <cstdint>
#include <string>
#include <vector>

namespace testfiles {

struct RunResult {
  int status = -1;      // the exit status, or -1 when the program did not exit normally
  std::string out;      // everything written to standard output
  std::string err;      // everything written to standard error
};

// Runs program with args (no shell involved), with extra environment assignments.
RunResult run(const std::string& program, const std::vector<std::string>& args,
              const std::vector<std::string>& env = {});

// Path of a binary from the environment variable (ZODUVIV_BIN, VIZUDEC_BIN); empty if unset.
std::string binary(const char* variable);

// A fresh directory under the test temp dir, removed by the destructor.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

std::vector<uint8_t> read_file(const std::string& path);
bool write_file(const std::string& path, const std::vector<uint8_t>& bytes);
bool file_exists(const std::string& path);

uint32_t le32(const std::vector<uint8_t>& b, size_t off);

// The frame chunks of a plain (single RIFF list) AVI file as zoduviv writes it, read by
// walking the 'movi' list from 0x200C up to "idx1", and the idx1 entries.
struct PlainAvi {
  bool ok = false;
  std::string error;
  std::vector<std::vector<uint8_t>> frames;  // chunk data without pad
  std::vector<uint32_t> index_flags;
  std::vector<uint32_t> index_offsets;
  std::vector<uint32_t> index_lengths;
};
PlainAvi parse_plain_avi(const std::vector<uint8_t>& file);

// Expected DIB frame of a movie frame: "raw " frames are turned bottom-up and BGR.
std::vector<uint8_t> expected_dib(const std::vector<uint8_t>& movie_frame, int width,
                                  int height, bool raw);

}  // namespace testfiles

#endif  // TESTS_SUPPORT_TEST_FILES_H_

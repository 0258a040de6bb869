// tests/support/test_files.h: running the real binaries, temporary files, and the one AVI
// checker of the tests (the product's read_avi, with the bytes of every frame).
#ifndef TESTS_SUPPORT_TEST_FILES_H_
#define TESTS_SUPPORT_TEST_FILES_H_

#include <cstdint>
#include <string>
#include <vector>

#include "avi/avi.h"

namespace testfiles {

using Bytes = std::vector<uint8_t>;

struct RunResult {
  int status = -1;  // the exit status, or -1 when the program did not exit normally
  std::string out, err;
};

// Runs program with args (no shell involved), with extra environment assignments.
RunResult run(const std::string& program, const std::vector<std::string>& args,
              const std::vector<std::string>& env = {});
// ZODUVIV_BIN or VIZUDEC_BIN from the environment, else the program built with the tests.
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

Bytes read_file(const std::string& path);
bool write_file(const std::string& path, const Bytes& bytes);
bool file_exists(const std::string& path);

// What read_avi finds in a file, and the data of every frame it calls whole.
struct AviFile {
  bool ok = false;
  std::string error;
  AviInfo info;
  std::vector<Bytes> frames;  // empty for a damaged frame
};
AviFile read_avi_bytes(const Bytes& file);
// The bytes as a file to read from; valid while they live.
ReadAt reader(const Bytes& file);

// The DIB frame of a movie frame: "raw " frames are turned bottom-up and BGR.
Bytes expected_dib(const Bytes& movie_frame, int width, int height, bool raw);

}  // namespace testfiles

#endif  // TESTS_SUPPORT_TEST_FILES_H_

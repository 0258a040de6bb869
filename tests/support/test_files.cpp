#include "tests/support/test_files.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

extern char** environ;

#ifndef VIZUDEC_DEFAULT_BIN
#define VIZUDEC_DEFAULT_BIN ""
#endif

namespace testfiles {

RunResult run(const std::string& program, const std::vector<std::string>& args,
              const std::vector<std::string>& env) {
  TempDir capture;
  const std::string out = capture.file("out"), err = capture.file("err");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  std::vector<std::string> strings = {program};
  strings.insert(strings.end(), args.begin(), args.end());
  const size_t env_at = strings.size();
  for (char** e = environ; *e; ++e) strings.emplace_back(*e);
  strings.insert(strings.end(), env.begin(), env.end());
  std::vector<char*> p;
  for (size_t i = 0; i < strings.size(); ++i) {
    if (i == env_at) p.push_back(nullptr);  // argv ends, envp starts
    p.push_back(strings[i].data());
  }
  p.push_back(nullptr);
  RunResult r;
  pid_t pid = 0;
  int status = 0;
  if (posix_spawn(&pid, program.c_str(), &actions, nullptr, p.data(), p.data() + env_at + 1) == 0 &&
      waitpid(pid, &status, 0) == pid && WIFEXITED(status))
    r.status = WEXITSTATUS(status);
  posix_spawn_file_actions_destroy(&actions);
  const Bytes o = read_file(out), e = read_file(err);
  r.out.assign(o.begin(), o.end());
  r.err.assign(e.begin(), e.end());
  return r;
}

std::string binary(const char* variable) {
  if (const char* value = std::getenv(variable)) return value;
  return std::strcmp(variable, "ZODUVIV_BIN") == 0 ? ZODUVIV_DEFAULT_BIN : VIZUDEC_DEFAULT_BIN;
}

TempDir::TempDir() {
  std::string pattern = std::filesystem::temp_directory_path().string() + "/zoduviv-test-XXXXXX";
  path_ = ::mkdtemp(pattern.data()) ? pattern : "";
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

Bytes read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

bool write_file(const std::string& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
  out.close();
  return bool(out);
}

bool file_exists(const std::string& path) {
  std::error_code ec;
  return std::filesystem::exists(path, ec);
}

ReadAt reader(const Bytes& file) {
  return [&file](uint64_t offset, unsigned char* dst, size_t n) {
    if (offset > file.size() || n > file.size() - offset) return false;
    std::copy_n(file.begin() + long(offset), n, dst);
    return true;
  };
}

AviFile read_avi_bytes(const Bytes& file) {
  AviFile avi;
  avi.ok = read_avi(file.size(), reader(file), avi.info, avi.error);
  for (const AviFrame& f : avi.info.frames)
    avi.frames.push_back(
        f.damage ? Bytes()
                 : Bytes(file.begin() + long(f.offset), file.begin() + long(f.offset + f.size)));
  return avi;
}

Bytes expected_dib(const Bytes& movie_frame, int width, int height, bool raw) {
  if (!raw) return movie_frame;
  Bytes dib(movie_frame.size());
  const size_t row = size_t(width) * 3;
  for (size_t y = 0; y < size_t(height); ++y)
    for (size_t x = 0; x < row; ++x)
      dib[y * row + x] = movie_frame[(height - 1 - y) * row + x / 3 * 3 + 2 - x % 3];
  return dib;
}

}  // namespace testfiles

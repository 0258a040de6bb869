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
#include <random>
#include <sstream>

extern char** environ;

namespace testfiles {
namespace {

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

}  // namespace

RunResult run(const std::string& program, const std::vector<std::string>& args,
              const std::vector<std::string>& env) {
  RunResult result;
  TempDir capture;
  const std::string out_path = capture.file("stdout");
  const std::string err_path = capture.file("stderr");

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&actions, 2, err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);

  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);

  std::vector<std::string> env_strings;
  for (char** e = environ; *e; ++e) env_strings.emplace_back(*e);
  for (const auto& e : env) env_strings.push_back(e);
  std::vector<char*> envp;
  for (auto& e : env_strings) envp.push_back(const_cast<char*>(e.c_str()));
  envp.push_back(nullptr);

  pid_t pid = 0;
  if (posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), envp.data()) == 0) {
    int wstatus = 0;
    if (waitpid(pid, &wstatus, 0) == pid && WIFEXITED(wstatus)) result.status = WEXITSTATUS(wstatus);
  }
  posix_spawn_file_actions_destroy(&actions);
  result.out = slurp(out_path);
  result.err = slurp(err_path);
  return result;
}

std::string binary(const char* variable) {
  if (const char* value = std::getenv(variable)) return value;
#ifdef ZODUVIV_DEFAULT_BIN
  if (std::strcmp(variable, "ZODUVIV_BIN") == 0) return ZODUVIV_DEFAULT_BIN;
#endif
#ifdef VIZUDEC_DEFAULT_BIN
  if (std::strcmp(variable, "VIZUDEC_BIN") == 0) return VIZUDEC_DEFAULT_BIN;
#endif
  return "";
}

TempDir::TempDir() {
  static std::mt19937_64 rng(std::random_device{}());
  const auto base = std::filesystem::temp_directory_path();
  for (;;) {
    auto candidate = base / ("zoduviv-test-" + std::to_string(getpid()) + "-" + std::to_string(rng()));
    std::error_code ec;
    if (std::filesystem::create_directory(candidate, ec)) {
      path_ = candidate.string();
      return;
    }
  }
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

std::vector<uint8_t> read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

bool write_file(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  out.close();
  return static_cast<bool>(out);
}

bool file_exists(const std::string& path) {
  std::error_code ec;
  return std::filesystem::exists(path, ec);
}

AviFile read_avi_bytes(const Bytes& file) {
  AviFile avi;
  std::istringstream in(std::string(file.begin(), file.end()));
  avi.ok = read_avi(in, file.size(), avi.info, avi.error);
  for (const AviFrame& f : avi.info.frames)
    avi.frames.push_back(f.damage ? Bytes() : Bytes(file.begin() + long(f.offset), file.begin() + long(f.offset + f.size)));
  return avi;
}

std::vector<uint8_t> expected_dib(const std::vector<uint8_t>& movie_frame, int width, int height,
                                  bool raw) {
  if (!raw) return movie_frame;
  std::vector<uint8_t> dib(movie_frame.size());
  const size_t row = size_t(width) * 3;
  for (int y = 0; y < height; ++y) {
    const uint8_t* src = movie_frame.data() + size_t(height - 1 - y) * row;
    uint8_t* dst = dib.data() + size_t(y) * row;
    for (size_t x = 0; x < row; x += 3) {
      dst[x] = src[x + 2];
      dst[x + 1] = src[x + 1];
      dst[x + 2] = src[x];
    }
  }
  return dib;
}

}  // namespace testfiles

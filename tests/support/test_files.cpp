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

uint32_t le32(const std::vector<uint8_t>& b, size_t off) {
  if (off > b.size() || b.size() - off < 4) return 0;
  return uint32_t(b[off]) | uint32_t(b[off + 1]) << 8 | uint32_t(b[off + 2]) << 16 |
         uint32_t(b[off + 3]) << 24;
}

PlainAvi parse_plain_avi(const std::vector<uint8_t>& file) {
  PlainAvi avi;
  auto fail = [&avi](const std::string& why) {
    avi.error = why;
    return avi;
  };
  if (file.size() < 8204 || std::memcmp(file.data(), "RIFF", 4) != 0 ||
      std::memcmp(file.data() + 8, "AVI ", 4) != 0 || std::memcmp(file.data() + 0x2008, "movi", 4) != 0)
    return fail("not an AVI file as zoduviv writes it");
  if (le32(file, 4) != file.size() - 8) return fail("RIFF size is not the file length - 8");
  const uint64_t movi_end = 0x2008ull + le32(file, 0x2004);
  size_t pos = 0x200C;
  while (pos < movi_end) {
    if (file.size() - pos < 8 || std::memcmp(file.data() + pos, "00dc", 4) != 0)
      return fail("expected a 00dc chunk at " + std::to_string(pos));
    const uint32_t size = le32(file, pos + 4);
    const uint64_t padded = (uint64_t(size) + 3) / 4 * 4;
    if (padded > file.size() - pos - 8) return fail("chunk runs past the file");
    avi.frames.emplace_back(file.begin() + long(pos + 8), file.begin() + long(pos + 8 + size));
    for (uint64_t k = size; k < padded; ++k)
      if (file[pos + 8 + k] != 0) return fail("non-zero pad byte");
    pos += 8 + padded;
  }
  if (pos != movi_end) return fail("movi list size does not end on a chunk");
  if (file.size() - pos < 8 || std::memcmp(file.data() + pos, "idx1", 4) != 0) return fail("no idx1");
  const uint32_t idx_size = le32(file, pos + 4);
  if (idx_size != 16 * avi.frames.size()) return fail("idx1 size does not match the frames");
  for (size_t i = 0; i < avi.frames.size(); ++i) {
    const size_t e = pos + 8 + 16 * i;
    if (std::memcmp(file.data() + e, "00dc", 4) != 0) return fail("idx1 entry id");
    avi.index_flags.push_back(le32(file, e + 4));
    avi.index_offsets.push_back(le32(file, e + 8));
    avi.index_lengths.push_back(le32(file, e + 12));
  }
  const size_t junk = pos + 8 + idx_size;
  if (file.size() - junk < 5 || std::memcmp(file.data() + junk, "JUNK", 4) != 0) return fail("no closing JUNK");
  if (file.size() % 1024 != 0) return fail("file length is not a multiple of 1024");
  if (le32(file, 0x30) != avi.frames.size() || le32(file, 0x8C) != avi.frames.size())
    return fail("frame counts in the header do not match");
  avi.ok = true;
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

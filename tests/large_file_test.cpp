// A movie whose AVI file passes 4 GiB: 1080p frames at offsets beyond 4 GiB (a "co64"
// table), converted with -u into an OpenDML file of several RIFF lists, read back by
// GStreamer's avidemux and mediainfo, and converted compressed and decoded by vizudec to
// the same bytes; the same frames with the movie atom last convert to the same file. The
// movies are sparse files whose frames are holes but for three, so they cost little
// disk; the test is skipped only where the disk lacks room for the output.
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/movie_writer.h"
#include "tests/support/test_files.h"

extern char** environ;

namespace {

using testfiles::RunResult;
using testfiles::TempDir;

constexpr int kWidth = 1920;
constexpr int kHeight = 1080;
constexpr uint64_t kFrameSize = uint64_t(kWidth) * kHeight * 3;
constexpr int kFrames = 700;  // 700 frames of 6,220,800 bytes: about 4.36 GB
constexpr int kTimeScale = 30000;
constexpr int kDuration = 1001;

// Big-endian atom building, just enough for the atoms the header walk reads.
class Atoms {
 public:
  void be32(uint32_t v) {
    for (int s = 24; s >= 0; s -= 8) bytes_.push_back(uint8_t(v >> s));
  }
  void be64(uint64_t v) {
    be32(uint32_t(v >> 32));
    be32(uint32_t(v));
  }
  void zeros(size_t n) { bytes_.insert(bytes_.end(), n, 0); }
  void text(const char* s) { bytes_.insert(bytes_.end(), s, s + std::strlen(s)); }
  size_t open(const char* type) {
    const size_t at = bytes_.size();
    be32(0);
    text(type);
    return at;
  }
  void close(size_t at) {
    const uint32_t size = uint32_t(bytes_.size() - at);
    for (int i = 0; i < 4; ++i) bytes_[at + size_t(i)] = uint8_t(size >> (24 - 8 * i));
  }
  std::vector<uint8_t>& bytes() { return bytes_; }

 private:
  std::vector<uint8_t> bytes_;
};

// The movie atom for kFrames frames, one per chunk, the first at first_frame.
std::vector<uint8_t> movie_atom(uint64_t first_frame) {
  Atoms a;
  const size_t moov = a.open("moov");
  const size_t mvhd = a.open("mvhd");
  a.zeros(100);
  a.close(mvhd);
  const size_t trak = a.open("trak");
  const size_t tkhd = a.open("tkhd");
  a.zeros(76);
  a.be32(uint32_t(kWidth) << 16);
  a.be32(uint32_t(kHeight) << 16);
  a.close(tkhd);
  const size_t mdia = a.open("mdia");
  const size_t mdhd = a.open("mdhd");
  a.zeros(12);
  a.be32(kTimeScale);
  a.be32(kFrames * kDuration);
  a.zeros(4);
  a.close(mdhd);
  const size_t minf = a.open("minf");
  const size_t stbl = a.open("stbl");
  const size_t stsd = a.open("stsd");
  a.zeros(4);
  a.be32(1);
  a.be32(86);
  a.text("raw ");
  a.zeros(78);
  a.close(stsd);
  const size_t stts = a.open("stts");
  a.zeros(4);
  a.be32(1);
  a.be32(kFrames);
  a.be32(kDuration);
  a.close(stts);
  const size_t stsc = a.open("stsc");
  a.zeros(4);
  a.be32(1);
  a.be32(1);
  a.be32(1);
  a.be32(1);
  a.close(stsc);
  const size_t co64 = a.open("co64");
  a.zeros(4);
  a.be32(kFrames);
  for (int i = 0; i < kFrames; ++i) a.be64(first_frame + uint64_t(i) * kFrameSize);
  a.close(co64);
  for (size_t at : {stbl, minf, mdia, trak, moov}) a.close(at);
  return a.bytes();
}

bool enough_disk(const std::string& dir, uint64_t bytes) {
  struct statvfs vfs;
  if (::statvfs(dir.c_str(), &vfs) != 0) return false;
  return uint64_t(vfs.f_bavail) * vfs.f_frsize > bytes;
}

bool pwrite_all(int fd, const std::vector<uint8_t>& data, uint64_t offset) {
  size_t done = 0;
  while (done < data.size()) {
    const ssize_t n = ::pwrite(fd, data.data() + done, data.size() - done, off_t(offset + done));
    if (n <= 0) return false;
    done += size_t(n);
  }
  return true;
}

// Streams every frame avidemux gives through a pipe; counts them and keeps the frames
// named in `keep`.
int demux_frames(const std::string& avi, const std::string& fifo, const std::vector<int>& keep,
                 std::vector<std::vector<uint8_t>>& kept) {
  if (::mkfifo(fifo.c_str(), 0600) != 0) return -1;
  const std::string location = "location=" + avi;
  const std::string sink = "location=" + fifo;
  std::vector<std::string> args = {"gst-launch-1.0", "-q", "filesrc", location, "!", "avidemux", "!",
                                   "videoconvert", "!", "video/x-raw,format=RGB", "!", "filesink", sink};
  std::vector<char*> argv;
  for (auto& s : args) argv.push_back(s.data());
  argv.push_back(nullptr);
  pid_t pid = 0;
  if (posix_spawn(&pid, "/usr/bin/gst-launch-1.0", nullptr, nullptr, argv.data(), environ) != 0) return -1;
  const int fd = ::open(fifo.c_str(), O_RDONLY);
  std::vector<uint8_t> frame(kFrameSize);
  int count = 0;
  for (;;) {
    size_t got = 0;
    while (got < frame.size()) {
      const ssize_t n = ::read(fd, frame.data() + got, frame.size() - got);
      if (n <= 0) break;
      got += size_t(n);
    }
    if (got == 0) break;
    if (got != frame.size()) {
      count = -1;
      break;
    }
    for (size_t k = 0; k < keep.size(); ++k)
      if (keep[k] == count) kept[k] = frame;
    ++count;
  }
  ::close(fd);
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? count : -1;
}

TEST(LargeFile, UncompressedOutputPastFourGigabytesReadsBackWhole) {
  TempDir dir;
  const uint64_t avi_bytes = kFrameSize * kFrames + 64 * 1024 * 1024;
  if (!enough_disk(dir.path(), 2 * avi_bytes + (uint64_t(1) << 30)))
    GTEST_SKIP() << "the disk lacks the room for two AVI files of 4.4 GB";

  // The frames start beyond 4 GiB, so every chunk offset needs 64 bits.
  const uint64_t first_frame = (uint64_t(1) << 32) + 4096;
  std::vector<uint8_t> head = movie_atom(first_frame);
  const uint64_t mdat_at = head.size();
  Atoms mdat;
  mdat.be32(1);
  mdat.text("mdat");
  mdat.be64(first_frame + kFrameSize * kFrames - mdat_at);
  head.insert(head.end(), mdat.bytes().begin(), mdat.bytes().end());

  const std::string movie = dir.file("big.mov");
  const int fd = ::open(movie.c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0644);
  ASSERT_GE(fd, 0);
  const std::vector<int> real = {0, kFrames / 2, kFrames - 1};
  std::vector<std::vector<uint8_t>> movie_frames;
  ASSERT_TRUE(pwrite_all(fd, head, 0));
  for (size_t k = 0; k < real.size(); ++k) {
    movie_frames.push_back(testmov::make_frame(kWidth, kHeight, 40 + uint32_t(k), 16));
    ASSERT_TRUE(pwrite_all(fd, movie_frames.back(), first_frame + uint64_t(real[k]) * kFrameSize));
  }
  ASSERT_EQ(::ftruncate(fd, off_t(first_frame + kFrameSize * kFrames)), 0);
  ::close(fd);

  const std::string zoduviv = testfiles::binary("ZODUVIV_BIN");
  const std::string u = dir.file("u.avi");
  RunResult r = testfiles::run(zoduviv, {"-u", movie, u});
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find("700 frames indexed\n"), std::string::npos) << r.out;
  struct stat st;
  ASSERT_EQ(::stat(u.c_str(), &st), 0);
  EXPECT_GT(uint64_t(st.st_size), uint64_t(1) << 32);

  if (testfiles::file_exists("/usr/bin/gst-launch-1.0")) {
    std::vector<std::vector<uint8_t>> kept(real.size());
    EXPECT_EQ(demux_frames(u, dir.file("frames.fifo"), real, kept), kFrames);
    for (size_t k = 0; k < real.size(); ++k) EXPECT_EQ(kept[k], movie_frames[k]) << "frame " << real[k];
  } else {
    std::printf("GStreamer is not installed: avidemux check skipped\n");
  }
  if (testfiles::file_exists("/usr/bin/mediainfo")) {
    r = testfiles::run("/usr/bin/mediainfo", {"--Inform=Video;%FrameCount% %Duration%", u});
    ASSERT_EQ(r.status, 0);
    // 700 frames at 30000/1001 frames per second last 23,356.667 ms.
    EXPECT_EQ(r.out.substr(0, 4), "700 ") << r.out;
    const double ms = std::stod(r.out.substr(4));
    EXPECT_NEAR(ms, 23356.667, 1.0) << r.out;
  } else {
    std::printf("mediainfo is not installed: its check skipped\n");
  }

  // The compressed file decodes to the very same bytes.
  const std::string vizudec = testfiles::binary("VIZUDEC_BIN");
  ASSERT_FALSE(vizudec.empty());
  r = testfiles::run(zoduviv, {movie, dir.file("c.avi")});
  ASSERT_EQ(r.status, 0) << r.out;
  r = testfiles::run(vizudec, {dir.file("c.avi"), dir.file("d.avi")});
  ASSERT_EQ(r.status, 0) << r.out;
  r = testfiles::run("/usr/bin/cmp", {u, dir.file("d.avi")});
  EXPECT_EQ(r.status, 0) << r.out;

  // ---- The same frames with the movie atom last, after media data of the 64-bit size
  // form that starts the file: the same AVI file.
  ASSERT_EQ(::unlink(dir.file("d.avi").c_str()), 0);
  const uint64_t media_end = first_frame + kFrameSize * kFrames;
  Atoms last_head;
  last_head.be32(1);
  last_head.text("mdat");
  last_head.be64(media_end);
  const std::string last = dir.file("last.mov");
  const int fd_last = ::open(last.c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0644);
  ASSERT_GE(fd_last, 0);
  ASSERT_TRUE(pwrite_all(fd_last, last_head.bytes(), 0));
  for (size_t k = 0; k < real.size(); ++k)
    ASSERT_TRUE(pwrite_all(fd_last, movie_frames[k], first_frame + uint64_t(real[k]) * kFrameSize));
  ASSERT_TRUE(pwrite_all(fd_last, movie_atom(first_frame), media_end));
  ::close(fd_last);
  r = testfiles::run(zoduviv, {"-u", last, dir.file("d.avi")});
  ASSERT_EQ(r.status, 0) << r.out;
  r = testfiles::run("/usr/bin/cmp", {u, dir.file("d.avi")});
  EXPECT_EQ(r.status, 0) << r.out;
}

}  // namespace

// A movie whose AVI file passes 4 GiB: 1080p frames at offsets beyond 4 GiB (a "co64"
// table), converted with -u into an OpenDML file of several RIFF lists, read back by
// GStreamer's avidemux and mediainfo (where installed) and vizudec -t, and converted
// compressed; the same frames with the movie atom last, behind media data of the 64-bit
// size form, give the same compressed file. The movies are sparse files whose frames are
// holes but for three, so they cost little disk; the one large file written is the -u
// output, with as few frames as pass 4 GiB. The test is skipped only where the disk lacks
// room for it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "avi/avi.h"
#include "codec/codec.h"
#include "tests/support/bytes.h"
#include "tests/support/movie_writer.h"
#include "tests/support/test_files.h"

namespace {

using testfiles::RunResult;
using testfiles::TempDir;

constexpr int kWidth = 1920;
constexpr int kHeight = 1080;
constexpr uint64_t kFrameSize = uint64_t(kWidth) * kHeight * 3;
constexpr int kFrames = 691;  // the fewest frames of 6,220,800 bytes that pass 4 GiB
constexpr int kTimeScale = 30000;
constexpr int kDuration = 1001;

// The movie atom for kFrames frames, one per chunk, the first at first_frame: just the
// atoms and fields the header walk reads.
std::vector<uint8_t> movie_atom(uint64_t first_frame) {
  testbytes::ByteWriter a(true);
  const size_t moov = a.open("moov"), mvhd = a.open("mvhd");
  a.zeros(100).close(mvhd);
  const size_t trak = a.open("trak"), tkhd = a.open("tkhd");
  a.zeros(76).u32(uint32_t(kWidth) << 16).u32(uint32_t(kHeight) << 16).close(tkhd);
  const size_t mdia = a.open("mdia"), mdhd = a.open("mdhd");
  a.zeros(12).u32(kTimeScale).u32(kFrames * kDuration).zeros(4).close(mdhd);
  const size_t minf = a.open("minf"), stbl = a.open("stbl"), stsd = a.open("stsd");
  a.zeros(4).u32(1).u32(86).cc("raw ").zeros(78).close(stsd);
  const size_t stts = a.open("stts");
  a.zeros(4).u32(1).u32(kFrames).u32(kDuration).close(stts);
  const size_t stsc = a.open("stsc");
  a.zeros(4).u32(1).u32(1).u32(1).u32(1).close(stsc);
  const size_t co64 = a.open("co64");
  a.zeros(4).u32(kFrames);
  for (int i = 0; i < kFrames; ++i) a.u64(first_frame + uint64_t(i) * kFrameSize);
  a.close(co64);
  for (size_t at : {stbl, minf, mdia, trak, moov}) a.close(at);
  return a.b;
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

// Every frame avidemux gives, as RGB through a pipe: their count, and the frames named in
// keep.
int demux_frames(const std::string& avi, const std::vector<int>& keep, std::vector<std::vector<uint8_t>>& kept) {
  const std::string pipeline = " ! avidemux ! videoconvert ! video/x-raw,format=RGB ! fdsink fd=1";
  FILE* pipe = ::popen(("gst-launch-1.0 -q filesrc location=" + avi + pipeline).c_str(), "r");
  if (!pipe) return -1;
  std::vector<uint8_t> frame(kFrameSize);
  int count = 0;
  size_t got = 0;
  for (; (got = std::fread(frame.data(), 1, frame.size(), pipe)) == frame.size(); ++count)
    for (size_t k = 0; k < keep.size(); ++k)
      if (keep[k] == count) kept[k] = frame;
  return ::pclose(pipe) == 0 && got == 0 ? count : -1;
}

TEST(LargeFile, UncompressedOutputPastFourGigabytesReadsBackWhole) {
  TempDir dir;
  const uint64_t avi_bytes = kFrameSize * kFrames + 64 * 1024 * 1024;
  if (!enough_disk(dir.path(), avi_bytes + (uint64_t(1) << 30)))
    GTEST_SKIP() << "the disk lacks the room for an AVI file of 4.3 GB";

  // The frames start beyond 4 GiB, so every chunk offset needs 64 bits.
  const uint64_t first_frame = (uint64_t(1) << 32) + 4096;
  std::vector<uint8_t> head = movie_atom(first_frame);
  head = testbytes::Cat(
      head, testbytes::ByteWriter(true).u32(1).cc("mdat").u64(first_frame + kFrameSize * kFrames - head.size()).b);

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
  // The same frames at the same offsets, the movie atom after them.
  const uint64_t media_end = first_frame + kFrameSize * kFrames;
  const std::string last = dir.file("last.mov");
  const int fd_last = ::open(last.c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0644);
  ASSERT_GE(fd_last, 0);
  ASSERT_TRUE(pwrite_all(fd_last, testbytes::ByteWriter(true).u32(1).cc("mdat").u64(media_end).b, 0));
  for (size_t k = 0; k < real.size(); ++k)
    ASSERT_TRUE(pwrite_all(fd_last, movie_frames[k], first_frame + uint64_t(real[k]) * kFrameSize));
  ASSERT_TRUE(pwrite_all(fd_last, movie_atom(first_frame), media_end));
  ::close(fd_last);

  const std::string zoduviv = testfiles::binary("ZODUVIV_BIN");
  const std::string u = dir.file("u.avi");
  RunResult r = testfiles::run(zoduviv, {"-u", movie, u});
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find("691 frames indexed\n"), std::string::npos) << r.out;
  struct stat st;
  ASSERT_EQ(::stat(u.c_str(), &st), 0);
  EXPECT_GT(uint64_t(st.st_size), uint64_t(1) << 32);

  if (testfiles::file_exists("/usr/bin/gst-launch-1.0")) {
    std::vector<std::vector<uint8_t>> kept(real.size());
    EXPECT_EQ(demux_frames(u, real, kept), kFrames);
    for (size_t k = 0; k < real.size(); ++k) EXPECT_EQ(kept[k], movie_frames[k]) << "frame " << real[k];
  }
  if (testfiles::file_exists("/usr/bin/mediainfo")) {
    r = testfiles::run("/usr/bin/mediainfo", {"--Inform=Video;%FrameCount% %Duration%", u});
    ASSERT_EQ(r.status, 0);
    // 691 frames at 30000/1001 frames per second last 23,056.367 ms.
    EXPECT_EQ(r.out.substr(0, 4), "691 ") << r.out;
    EXPECT_NEAR(std::stod(r.out.substr(4)), 23056.367, 1.0) << r.out;
  }

  // vizudec reads every frame of it, and of the compressed file (frames read from
  // beyond 4 GiB of the movie).
  const std::string vizudec = testfiles::binary("VIZUDEC_BIN");
  r = testfiles::run(zoduviv, {movie, dir.file("c.avi")});
  ASSERT_EQ(r.status, 0) << r.out;
  r = testfiles::run(zoduviv, {last, dir.file("c_last.avi")});
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_TRUE(testfiles::read_file(dir.file("c.avi")) == testfiles::read_file(dir.file("c_last.avi")));
  for (const std::string& avi : {u, dir.file("c.avi")}) {
    r = testfiles::run(vizudec, {"-t", avi});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("Checked 691 frames, all decode cleanly\n"), std::string::npos) << r.out;
  }
  // The compressed frames decode to the -u frames: the three real ones and a hole.
  const testfiles::AviFile c = testfiles::read_avi_bytes(testfiles::read_file(dir.file("c.avi")));
  std::ifstream in(u, std::ios::binary);
  AviInfo info;
  std::string error;
  ASSERT_TRUE(c.ok && read_avi(in, uint64_t(st.st_size), info, error)) << c.error << error;
  ASSERT_EQ(c.frames.size(), size_t(kFrames));
  ASSERT_EQ(info.frames.size(), size_t(kFrames));
  FrameDecoder decoder;
  ASSERT_TRUE(decoder.Begin(kWidth, kHeight));
  std::vector<uint8_t> decoded(kFrameSize), stored(kFrameSize);
  for (int k : {real[0], real[1], real[2], 1}) {
    ASSERT_TRUE(decoder.Decode(c.frames[k].data(), c.frames[k].size(), decoded.data())) << "frame " << k;
    in.seekg(std::streamoff(info.frames[k].offset));
    ASSERT_TRUE(in.read(reinterpret_cast<char*>(stored.data()), std::streamsize(kFrameSize))) << "frame " << k;
    EXPECT_TRUE(decoded == stored) << "frame " << k;
  }
}

}  // namespace

// A movie whose AVI file passes 4 GiB: 1080p frames beyond 4 GiB (a "co64" table), converted
// with -u into an OpenDML file of several RIFF lists, read back by GStreamer's avidemux and
// mediainfo (where installed) and vizudec -t, and converted compressed, also with the movie
// atom last behind 64-bit media data. The movies are sparse (all frames holes but three); the
// one large file is the -u output, of the fewest frames that pass 4 GiB. Skipped only where
// the disk lacks room for it. A second movie carries sound past 1 GiB.
#include <gtest/gtest.h>
#include <sys/statvfs.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "avi/avi.h"
#include "codec/codec.h"
#include "tests/support/bytes.h"
#include "tests/support/movie_writer.h"
#include "tests/support/test_files.h"

namespace {

using testbytes::Bytes;
using testfiles::RunResult;
using testfiles::TempDir;

constexpr int kWidth = 1920, kHeight = 1080;
constexpr uint64_t kFrameSize = uint64_t(kWidth) * kHeight * 3;
constexpr int kFrames = 691;  // the fewest frames of 6,220,800 bytes that pass 4 GiB
constexpr int kTimeScale = 30000, kDuration = 1001;

// The movie atom for `frames` frames, one per chunk, the first at first_frame: just the
// atoms and fields the reader needs (the video handler and the depth among them), then the
// traks given.
Bytes movie_atom(uint64_t first_frame, int frames = kFrames, const Bytes& traks = {}) {
  testbytes::ByteWriter a(true);
  const size_t moov = a.open("moov"), mvhd = a.open("mvhd");
  a.zeros(100).close(mvhd);
  const size_t trak = a.open("trak"), tkhd = a.open("tkhd");
  a.zeros(76).u32(uint32_t(kWidth) << 16).u32(uint32_t(kHeight) << 16).close(tkhd);
  const size_t mdia = a.open("mdia"), mdhd = a.open("mdhd");
  a.zeros(12).u32(kTimeScale).u32(frames * kDuration).zeros(4).close(mdhd);
  const size_t hdlr = a.open("hdlr");
  a.u32(0).cc("mhlr").cc("vide").zeros(13).close(hdlr);
  const size_t minf = a.open("minf"), stbl = a.open("stbl"), stsd = a.open("stsd");
  a.zeros(4).u32(1).u32(86).cc("raw ").zeros(74).u16(24).zeros(2).close(stsd);
  const size_t stts = a.open("stts");
  a.zeros(4).u32(1).u32(frames).u32(kDuration).close(stts);
  const size_t stsc = a.open("stsc");
  a.zeros(4).u32(1).u32(1).u32(1).u32(1).close(stsc);
  const size_t co64 = a.open("co64");
  a.zeros(4).u32(frames);
  for (int i = 0; i < frames; ++i) a.u64(first_frame + uint64_t(i) * kFrameSize);
  a.close(co64);
  for (size_t at : {stbl, minf, mdia, trak}) a.close(at);
  a.bytes(traks).close(moov);
  return a.b;
}

// Every frame avidemux gives, as RGB through a pipe: their count, and the frames named in keep.
int demux_frames(const std::string& avi, const std::vector<int>& keep, std::vector<Bytes>& kept) {
  const std::string pipeline = " ! avidemux ! videoconvert ! video/x-raw,format=RGB ! fdsink fd=1";
  FILE* pipe = ::popen(("gst-launch-1.0 -q filesrc location=" + avi + pipeline).c_str(), "r");
  if (!pipe) return -1;
  Bytes frame(kFrameSize);
  int count = 0;
  size_t got = 0;
  for (; (got = std::fread(frame.data(), 1, frame.size(), pipe)) == frame.size(); ++count)
    for (size_t k = 0; k < keep.size(); ++k)
      if (keep[k] == count) kept[k] = frame;
  return ::pclose(pipe) == 0 && got == 0 ? count : -1;
}

TEST(LargeFile, UncompressedOutputPastFourGigabytesReadsBackWhole) {
  TempDir dir;
  struct statvfs vfs;  // room for the -u file and 1 GiB to spare
  if (::statvfs(dir.path().c_str(), &vfs) != 0 ||
      uint64_t(vfs.f_bavail) * vfs.f_frsize <=
          kFrameSize * kFrames + 64 * 1024 * 1024 + (uint64_t(1) << 30))
    GTEST_SKIP() << "the disk lacks the room for an AVI file of 4.3 GB";
  // The frames start beyond 4 GiB, so every chunk offset needs 64 bits. Two sparse movies
  // hold three real frames at the same offsets: one with the movie atom first, one with
  // it after the media data. The last real frame ends the media data.
  const uint64_t first_frame = (uint64_t(1) << 32) + 4096,
                 media_end = first_frame + kFrameSize * kFrames;
  const std::vector<int> real = {0, kFrames / 2, kFrames - 1};
  std::vector<Bytes> movie_frames;
  for (uint32_t k = 0; k < real.size(); ++k)
    movie_frames.push_back(testmov::make_frame(kWidth, kHeight, 40 + k, 16));
  const auto write_movie = [&](const std::string& path, const Bytes& head, const Bytes& tail) {
    std::ofstream out(path, std::ios::binary);
    const auto put = [&out](const Bytes& data, uint64_t at) {  // what lies between stays a hole
      out.seekp(std::streamoff(at));
      out.write(reinterpret_cast<const char*>(data.data()), std::streamsize(data.size()));
    };
    put(head, 0);
    for (size_t k = 0; k < real.size(); ++k)
      put(movie_frames[k], first_frame + uint64_t(real[k]) * kFrameSize);
    put(tail, media_end);
    return bool(out.flush());
  };
  const Bytes moov = movie_atom(first_frame);
  const auto mdat = [](uint64_t size) {
    return testbytes::ByteWriter(true).u32(1).cc("mdat").u64(size).b;
  };
  const std::string movie = dir.file("big.mov"), last = dir.file("last.mov");
  ASSERT_TRUE(write_movie(movie, testbytes::Cat(moov, mdat(media_end - moov.size())), {}));
  ASSERT_TRUE(write_movie(last, mdat(media_end), moov));
  // Converted with -u, compressed, and compressed from the movie with its atom last.
  const std::string u = dir.file("u.avi"), c_avi = dir.file("c.avi"),
                    c_last = dir.file("c_last.avi");
  RunResult r;
  using Args = std::vector<std::string>;
  for (const Args& args : {Args{"-u", movie, u}, Args{movie, c_avi}, Args{last, c_last}}) {
    r = testfiles::run(testfiles::binary("ZODUVIV_BIN"), args);
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("691 frames indexed\n"), std::string::npos) << r.out;
  }
  EXPECT_TRUE(testfiles::read_file(c_avi) == testfiles::read_file(c_last));

  if (testfiles::file_exists("/usr/bin/gst-launch-1.0")) {
    std::vector<Bytes> kept(real.size());
    EXPECT_EQ(demux_frames(u, real, kept), kFrames);
    for (size_t k = 0; k < real.size(); ++k)
      EXPECT_EQ(kept[k], movie_frames[k]) << "frame " << real[k];
  }
  if (testfiles::file_exists("/usr/bin/mediainfo")) {
    r = testfiles::run("/usr/bin/mediainfo", {"--Inform=Video;%FrameCount% %Duration%", u});
    ASSERT_EQ(r.status, 0);
    // 691 frames at 30000/1001 frames per second last 23,056.367 ms.
    EXPECT_EQ(r.out.substr(0, 4), "691 ") << r.out;
    EXPECT_NEAR(std::stod(r.out.substr(4)), 23056.367, 1.0) << r.out;
  }
  // vizudec reads every frame of both (the compressed frames read from beyond 4 GiB of the movie).
  for (const std::string& avi : {u, c_avi}) {
    r = testfiles::run(testfiles::binary("VIZUDEC_BIN"), {"-t", avi});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("Checked 691 frames, all decode cleanly\n"), std::string::npos) << r.out;
  }
  // The compressed frames decode to the -u frames: the three real ones and a hole.
  const testfiles::AviFile c = testfiles::read_avi_bytes(testfiles::read_file(c_avi));
  InputFile in;
  ASSERT_TRUE(in.open(u.c_str()));
  EXPECT_GT(in.size(), uint64_t(1) << 32);
  AviInfo info;
  std::string error;
  ASSERT_TRUE(c.ok && read_avi(in.size(), in.reader(), info, error)) << c.error << error;
  ASSERT_TRUE(c.frames.size() == size_t(kFrames) && info.frames.size() == size_t(kFrames));
  FrameDecoder decoder;
  ASSERT_TRUE(decoder.Begin(kWidth, kHeight));
  Bytes decoded(kFrameSize), stored(kFrameSize);
  for (int k : {real[0], real[1], real[2], 1}) {
    ASSERT_TRUE(decoder.Decode(c.frames[k].data(), c.frames[k].size(), decoded.data()))
        << "frame " << k;
    ASSERT_TRUE(in.read_at(info.frames[k].offset, stored.data(), kFrameSize)) << k;
    EXPECT_TRUE(decoded == stored) << "frame " << k;
  }
}

// A movie of black 1080p frames (holes) and 48 kHz stereo sound after them, converted
// with -u past 1 GiB: avidemux gives every frame and exactly the movie's sound.
TEST(LargeFile, SoundPastOneGigabyteReadsBackWhole) {
  TempDir dir;
  constexpr int kShortFrames = 180;  // 1.12 GB of frames
  struct statvfs vfs;
  if (::statvfs(dir.path().c_str(), &vfs) != 0 ||
      uint64_t(vfs.f_bavail) * vfs.f_frsize <= (uint64_t(5) << 30) / 2)
    GTEST_SKIP() << "the disk lacks the room for an AVI file of 1.1 GB";
  Bytes sound(288288 * 4);  // 180 frames of 1001/30000 s at 48 kHz
  for (size_t i = 0; i < sound.size(); ++i) sound[i] = uint8_t(i * 131 + i / 977);
  const uint64_t first_frame = 4096, sound_at = first_frame + kFrameSize * kShortFrames;
  testbytes::ByteWriter sowt(true);
  sowt.u32(36).cc("sowt").zeros(6).u16(1).zeros(8).u16(2).u16(16).zeros(4).u32(48000u << 16);
  const Bytes moov = movie_atom(first_frame, kShortFrames,
                                testmov::sound_trak({sowt.b, 48000, 4, {sound}}, 2, {sound_at}));
  const std::string movie = dir.file("big.mov"), u = dir.file("u.avi"), raw = dir.file("s.raw");
  {
    std::ofstream out(movie, std::ios::binary);
    out.write(reinterpret_cast<const char*>(moov.data()), std::streamsize(moov.size()));
    const Bytes mdat =
        testbytes::ByteWriter(true).u32(1).cc("mdat").u64(sound_at - moov.size() + sound.size()).b;
    out.write(reinterpret_cast<const char*>(mdat.data()), std::streamsize(mdat.size()));
    out.seekp(std::streamoff(sound_at));
    out.write(reinterpret_cast<const char*>(sound.data()), std::streamsize(sound.size()));
    ASSERT_TRUE(out.flush());
  }
  const RunResult r = testfiles::run(testfiles::binary("ZODUVIV_BIN"), {"-u", movie, u});
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find("Sound track 2: 48000 Hz, 2 channels, 16-bit integer (\"sowt\")\n"),
            std::string::npos)
      << r.out;
  if (!testfiles::file_exists("/usr/bin/gst-launch-1.0")) GTEST_SKIP() << "no gst-launch-1.0";
  FILE* pipe = ::popen(("gst-launch-1.0 -q filesrc location=" + u +
                        " ! avidemux name=d d.video_0 ! queue ! fdsink fd=1 d.audio_0 ! queue ! "
                        "filesink location=" +
                        raw)
                           .c_str(),
                       "r");
  ASSERT_TRUE(pipe);
  Bytes frame(kFrameSize);
  uint64_t video = 0;
  for (size_t got; (got = std::fread(frame.data(), 1, frame.size(), pipe)) > 0;) video += got;
  EXPECT_EQ(::pclose(pipe), 0);
  EXPECT_EQ(video, kFrameSize * kShortFrames);
  EXPECT_TRUE(testfiles::read_file(raw) == sound);
}

}  // namespace

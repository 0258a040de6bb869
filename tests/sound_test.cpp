// Sound sample descriptions of every carried form and version, read as the QuickTime file
// format lays them out, and their samples turned into WAVE's form; refused descriptions
// with the reason the line names.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "mov/mov.h"
#include "tests/support/bytes.h"
#include "tests/support/movie_writer.h"
#include "tests/support/test_files.h"

namespace {

using testbytes::Bytes;
using testbytes::ByteWriter;

// The head every description shares: size, format, 6 reserved bytes, data reference.
ByteWriter Head(const char* code, uint16_t version) {
  ByteWriter w(true);
  w.u32(0).cc(code).zeros(6).u16(1).u16(version).u16(0).u32(0);
  return w;
}

// A version 0 or 1 description; version 1 adds the bytes of a frame (and three more
// fields), extensions follow.
Bytes V01(const char* code, uint16_t version, uint16_t channels, uint16_t bits, uint32_t rate,
          uint32_t frame_bytes = 0, const Bytes& extensions = {}) {
  ByteWriter w = Head(code, version);
  w.u16(channels).u16(bits).u16(version == 1 ? 0xFFFE : 0).u16(0).u32(rate);
  if (version == 1) w.u32(1).u32(frame_bytes / channels).u32(frame_bytes).u32(2);
  w.bytes(extensions);
  return w.b;
}

// A version 2 description.
Bytes V2(const char* code, double rate, uint32_t channels, uint32_t bits, uint32_t flags,
         uint32_t packet_bytes) {
  uint64_t rate_bits = 0;
  std::memcpy(&rate_bits, &rate, 8);
  ByteWriter w = Head(code, 2);
  w.u16(3).u16(16).u16(0xFFFE).u16(0).u32(65536).u32(72).u64(rate_bits);
  w.u32(channels).u32(0x7F000000).u32(bits).u32(flags).u32(packet_bytes).u32(1);
  return w.b;
}

Bytes Cut(Bytes b, size_t n) {
  b.resize(n);
  return b;
}

// A "wave" atom holding an "enda" atom of the given value.
Bytes Wave(uint16_t enda) {
  ByteWriter w(true);
  w.u32(18).cc("wave").u32(10).cc("enda").u16(enda);
  return w.b;
}

TEST(Sound, DescriptionsAndTheirSamplesInWaveForm) {
  const struct {
    const char* name;
    Bytes description;
    std::string line;   // describe_sound, or the reason it is left out
    Bytes movie, wave;  // two frames of samples, as stored and as WAVE stores them
  } kCases[] = {
      {"twos 16-bit",
       V01("twos", 0, 2, 16, 48000u << 16),
       "48000 Hz, 2 channels, 16-bit integer (\"twos\")",
       {0x12, 0x34, 0x56, 0x78, 0x80, 0x00, 0xFF, 0xFE},
       {0x34, 0x12, 0x78, 0x56, 0x00, 0x80, 0xFE, 0xFF}},
      {"twos 8-bit",
       V01("twos", 0, 1, 8, 22050u << 16),
       "22050 Hz, 1 channel, 8-bit integer (\"twos\")",
       {0x00, 0x80},
       {0x80, 0x00}},
      {"sowt 8-bit",
       V01("sowt", 0, 2, 8, 8000u << 16),
       "8000 Hz, 2 channels, 8-bit integer (\"sowt\")",
       {0x7F, 0xFF, 0x01, 0x81},
       {0xFF, 0x7F, 0x81, 0x01}},
      {"raw 8-bit unsigned",
       V01("raw ", 0, 1, 8, 11025u << 16),
       "11025 Hz, 1 channel, 8-bit integer (\"raw \")",
       {0x00, 0x80},
       {0x00, 0x80}},
      {"twos 24-bit through version 1",
       V01("twos", 1, 1, 16, 48000u << 16, 3),
       "48000 Hz, 1 channel, 24-bit integer (\"twos\")",
       {0x01, 0x02, 0x03, 0x04, 0x05, 0x06},
       {0x03, 0x02, 0x01, 0x06, 0x05, 0x04}},
      {"sowt 32-bit through version 1",
       V01("sowt", 1, 1, 16, 48000u << 16, 4),
       "48000 Hz, 1 channel, 32-bit integer (\"sowt\")",
       {1, 2, 3, 4, 5, 6, 7, 8},
       {1, 2, 3, 4, 5, 6, 7, 8}},
      {"in24 big-endian at 96 kHz, past what 16.16 holds",
       V01("in24", 1, 1, 24, (96000u - 65536u) << 16, 3),
       "96000 Hz, 1 channel, 24-bit integer (\"in24\")",
       {0x01, 0x02, 0x03, 0x04, 0x05, 0x06},
       {0x03, 0x02, 0x01, 0x06, 0x05, 0x04}},
      {"in24 with enda 0",
       V01("in24", 1, 1, 24, 22254u << 16, 3, Wave(0)),
       "22254 Hz, 1 channel, 24-bit integer (\"in24\")",
       {0x01, 0x02, 0x03, 0x04, 0x05, 0x06},
       {0x03, 0x02, 0x01, 0x06, 0x05, 0x04}},
      {"in32",
       V01("in32", 1, 1, 32, 48000u << 16, 4),
       "48000 Hz, 1 channel, 32-bit integer (\"in32\")",
       {1, 2, 3, 4, 5, 6, 7, 8},
       {4, 3, 2, 1, 8, 7, 6, 5}},
      {"fl64",
       V01("fl64", 1, 1, 64, 48000u << 16, 8),
       "48000 Hz, 1 channel, 64-bit float (\"fl64\")",
       {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16},
       {8, 7, 6, 5, 4, 3, 2, 1, 16, 15, 14, 13, 12, 11, 10, 9}},
      {"lpcm little-endian signed",
       V2("lpcm", 44100.0, 2, 16, 4 | 8, 4),
       "44100 Hz, 2 channels, 16-bit integer (\"lpcm\")",
       {1, 2, 3, 4, 5, 6, 7, 8},
       {1, 2, 3, 4, 5, 6, 7, 8}},
      {"lpcm 8-bit signed",
       V2("lpcm", 8000.0, 1, 8, 4, 1),
       "8000 Hz, 1 channel, 8-bit integer (\"lpcm\")",
       {0x00, 0xFF},
       {0x80, 0x7F}},
      {"twos through version 2",
       V2("twos", 48000.0, 2, 16, 0, 4),
       "48000 Hz, 2 channels, 16-bit integer (\"twos\")",
       {1, 2, 3, 4, 5, 6, 7, 8},
       {2, 1, 4, 3, 6, 5, 8, 7}},
      {"alaw",
       V01("alaw", 0, 1, 8, 8000u << 16),
       "8000 Hz, 1 channel, 8-bit A-law (\"alaw\")",
       {0xD5, 0x55},
       {0xD5, 0x55}},
      {"a rate with a fraction gives way to the time scale",
       V01("twos", 0, 1, 16, (22254u << 16) + 35747),
       "96000 Hz, 1 channel, 16-bit integer (\"twos\")",
       {1, 2, 3, 4},
       {2, 1, 4, 3}},
      {"compressed", V01("ima4", 1, 2, 16, 44100u << 16, 68), "is compressed sound", {}, {}},
      {"lpcm before version 2", V01("lpcm", 0, 2, 16, 44100u << 16), "is compressed sound", {}, {}},
      {"a huge channel count",
       V01("twos", 0, 300, 16, 44100u << 16),
       "has 300 channels (1 to 64 are carried)",
       {},
       {}},
      {"no channels",
       V01("twos", 0, 0, 16, 44100u << 16),
       "has 0 channels (1 to 64 are carried)",
       {},
       {}},
      {"12-bit samples", V01("twos", 0, 1, 12, 44100u << 16), "has samples of 12 bits", {}, {}},
      {"a rate of 0", V2("sowt", 0.0, 1, 16, 0, 2), "has no sample rate", {}, {}},
      {"an endless rate", V2("sowt", HUGE_VAL, 1, 16, 0, 2), "has no sample rate", {}, {}},
      {"a rate of 2 MHz", V2("sowt", 2e6, 1, 16, 0, 2), "has a sample rate of 2000000 Hz", {}, {}},
      {"packets of two frames",
       V2("lpcm", 44100.0, 1, 16, 4, 4),
       "is packed in a way that is not plain samples",
       {},
       {}},
      {"cut short",
       Cut(V01("twos", 1, 2, 16, 44100u << 16, 4), 40),
       "has a damaged sample description",
       {},
       {}},
      {"version 3",
       V01("twos", 3, 2, 16, 44100u << 16),
       "has a damaged sample description",
       {},
       {}},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    SoundFormat format;
    std::string why;
    const bool carried =
        read_sound_description(c.description.data(), c.description.size(), 96000, format, why);
    EXPECT_EQ(carried ? describe_sound(format) : why, c.line);
    if (!carried) continue;
    Bytes samples = c.movie;
    sound_to_wave(format, samples.data(), 2);
    EXPECT_EQ(testbytes::Hex(samples), testbytes::Hex(c.wave));
    EXPECT_EQ(format.block_align * 2, c.movie.size());
  }
}

}  // namespace

// The whole stsd entry of a description: its size field filled in.
Bytes Entry(Bytes b) {
  for (int i = 0; i < 4; ++i) b[size_t(i)] = uint8_t(b.size() >> (24 - 8 * i));
  return b;
}

// Crafted movies of two frames and a sound track of two frames of samples through zoduviv -u:
// the track's line, its WAVE samples in the AVI file, vizudec -c's verdict.
TEST(Sound, CraftedMoviesThroughZoduviv) {
  const struct {
    const char* name;
    Bytes description;
    bool after_frames;
    uint64_t offset_shift;
    std::string lines;  // the sound lines zoduviv prints, and its exit status
    uint16_t tag;       // of the AVI's sound stream; 0 when it has none
    Bytes movie, wave;  // the track's two frames, as stored and as WAVE stores them
  } kCases[] = {
      {"lpcm big-endian float next to the frames",
       V2("lpcm", 96000.0, 1, 32, 1 | 2, 4),
       false,
       0,
       "Sound track 2: 96000 Hz, 1 channel, 32-bit float (\"lpcm\")\n0",
       3,
       {1, 2, 3, 4, 5, 6, 7, 8},
       {4, 3, 2, 1, 8, 7, 6, 5}},
      {"fl32 after the frames",
       V01("fl32", 1, 2, 32, 48000u << 16, 8),
       true,
       0,
       "Sound track 2: 48000 Hz, 2 channels, 32-bit float (\"fl32\")\n0",
       3,
       {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16},
       {4, 3, 2, 1, 8, 7, 6, 5, 12, 11, 10, 9, 16, 15, 14, 13}},
      {"in24 little-endian by enda",
       V01("in24", 1, 1, 24, 22050u << 16, 3, Wave(1)),
       false,
       0,
       "Sound track 2: 22050 Hz, 1 channel, 24-bit integer (\"in24\")\n0",
       1,
       {1, 2, 3, 4, 5, 6},
       {1, 2, 3, 4, 5, 6}},
      {"ulaw",
       V01("ulaw", 0, 1, 8, 8000u << 16),
       false,
       0,
       "Sound track 2: 8000 Hz, 1 channel, 8-bit mu-law (\"ulaw\")\n0",
       7,
       {0x00, 0xFF},
       {0x00, 0xFF}},
      {"ima4 is left out",
       V01("ima4", 1, 2, 16, 44100u << 16, 68),
       false,
       0,
       "Sound track 2 (\"ima4\") is compressed sound; it is left out of the AVI file.\n0",
       0,
       Bytes(136, 9),
       {}},
      {"sound past the end of the file",
       V01("ulaw", 0, 1, 8, 8000u << 16),
       true,
       1 << 20,
       "Sound track 2: 8000 Hz, 1 channel, 8-bit mu-law (\"ulaw\")\n"
       "Sound track 2: sample 1 of 2 lies past the end of the input file or cannot be read; the "
       "movie is truncated or damaged.\nStopped early: OUT holds the 0 frames written before "
       "that sound.\n1",
       7,
       {1, 2},
       {}},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    testfiles::TempDir dir;
    testmov::MovieRecipe recipe;
    recipe.width = 2, recipe.height = 2, recipe.frames = {Bytes(12, 1), Bytes(12, 2)};
    const auto half = c.movie.begin() + long(c.movie.size() / 2);
    recipe.sounds = {{Entry(c.description),
                      48000,
                      uint32_t(c.movie.size() / 2),
                      {{c.movie.begin(), half}, {half, c.movie.end()}},
                      c.after_frames,
                      0,
                      1,
                      c.offset_shift}};
    const std::string mov = dir.file("m.mov"), out = dir.file("u.avi");
    ASSERT_TRUE(testmov::write_movie(mov, recipe));
    const testfiles::RunResult r =
        testfiles::run(testfiles::binary("ZODUVIV_BIN"), {"-u", mov, out});
    std::string lines;
    for (size_t at = 0, end; (end = r.out.find('\n', at)) != std::string::npos; at = end + 1)
      if (r.out.compare(at, 6, "Sound ") == 0 || r.out.compare(at, 8, "Stopped ") == 0)
        lines += r.out.substr(at, end + 1 - at);
    std::string want = c.lines;
    if (const size_t at = want.find("OUT"); at != std::string::npos) want.replace(at, 3, out);
    EXPECT_EQ(lines + std::to_string(r.status), want);
    const testfiles::AviFile avi = testfiles::read_avi_bytes(testfiles::read_file(out));
    ASSERT_TRUE(avi.ok) << avi.error;
    ASSERT_EQ(avi.info.audio.size(), size_t(c.tag != 0));
    if (c.tag == 0) continue;
    EXPECT_EQ(avi.info.audio[0].format.format_tag, c.tag);
    Bytes sound;
    const Bytes file = testfiles::read_file(out);
    for (const AviFrame& chunk : avi.info.audio[0].chunks)
      sound.insert(sound.end(), file.begin() + long(chunk.offset),
                   file.begin() + long(chunk.offset + chunk.size));
    EXPECT_EQ(testbytes::Hex(sound), testbytes::Hex(c.wave));
    if (r.status != 0) continue;
    const testfiles::RunResult v =
        testfiles::run(testfiles::binary("VIZUDEC_BIN"), {"-c", mov, out});
    EXPECT_EQ(v.out + std::to_string(v.status),
              "All 2 frames and all 2 sound samples equal the movie's\n0");
  }
}

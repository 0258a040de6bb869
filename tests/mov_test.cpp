// Movie reading: the header walk's messages over generated, refused and damaged movies, the
// frame index, the pixel conversion and the top-level walk to the movie atom.
#include "mov/mov.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/bytes.h"
#include "tests/support/movie_writer.h"
#include "tests/support/test_files.h"

namespace {
using Bytes = std::vector<uint8_t>;
using Lines = std::vector<std::string>;
Lines lines_of(const std::string& text) {
  Lines lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}
struct WalkResult {
  bool ok = false;
  std::string out;
  MovieHeader header;
};
WalkResult walk(const Bytes& window) {
  WalkResult r;
  r.out = testbytes::captured_stdout(
      [&] { r.ok = read_movie_header(window.data(), window.size(), r.header); });
  return r;
}
// Index of the first occurrence of the four-byte code in a file.
size_t find_code(const Bytes& file, const char* code, size_t from = 0) {
  const auto at = std::search(file.begin() + long(from), file.end(), code, code + 4);
  EXPECT_NE(at, file.end()) << "code " << code << " not in file";
  return size_t(at - file.begin());
}
void put_be32(Bytes& b, size_t off, uint32_t v) {
  for (int i = 0; i < 4; ++i) b.at(off + i) = uint8_t(v >> (24 - 8 * i));
}
testmov::MovieRecipe small_movie(int frames = 3, bool moov_first = true) {
  testmov::MovieRecipe recipe;
  for (int i = 0; i < frames; ++i)
    recipe.frames.push_back(testmov::make_frame(recipe.width, recipe.height, i, 3));
  recipe.moov_first = moov_first;
  return recipe;
}

// The walk's lines for small_movie() (4 x 2, raw, 30 fps, three chunks of one frame).
const Lines kWalk = lines_of(
    "Movie header found\nTrack header found\nWidth = 4\nHeight = 2\nMedia header found\n"
    "Sample description found, number of entries = 1\nData format = \"raw \"\nSample to time table "
    "found\n"
    "Frame rate = 30.000000\nSample to chunk table found\nNumber of entries = 1\nSample offset "
    "table found\n"
    "Number of entries = 3\n");
const std::string kUnsupported =
    "Unsupported data format, please select \"BMP\" or \"none\" as the video compression when "
    "saving a .mov file";
Lines walk_then(size_t n, Lines last) {  // the first n lines of kWalk, then the given ones
  last.insert(last.begin(), kWalk.begin(), kWalk.begin() + long(n));
  return last;
}
void reset_index() { frame_offsets.clear(), total_frames = 0; }  // the globals the index appends to
// A width of 320.5 (16.16) reads as 320; a description count printed as stored; only the
// first duration counts; a zero duration and a zero time scale.
TEST(HeaderWalk, MessagesOfOddHeaders) {
  const struct {
    int width;
    double fraction;
    uint32_t descriptions;
    int32_t time_scale;
    std::vector<int32_t> durations;
    const char* rate;
  } kCases[] = {{320, 0.5, 1, 600, {20}, "30.000000"},
                {4, 0, 3, 600, {20}, "30.000000"},
                {4, 0, 1, 600, {100, 20, 40}, "6.000000"},
                {4, 0, 1, 600, {0}, "inf"},
                {4, 0, 1, 0, {0}, "-nan"}};
  for (const auto& c : kCases) {
    testmov::MovieRecipe recipe = small_movie();
    recipe.width = c.width, recipe.width_fraction = c.fraction,
    recipe.stsd_entries = c.descriptions;
    recipe.time_scale = c.time_scale, recipe.durations = c.durations;
    for (auto& f : recipe.frames) f.resize(size_t(c.width) * 6);
    const WalkResult r = walk(testmov::build_movie(recipe));
    Lines want = kWalk;
    want[2] = "Width = " + std::to_string(c.width);
    want[5] = "Sample description found, number of entries = " + std::to_string(c.descriptions);
    // 0 / 0 is a negative NaN on x86-64, which glibc prints as "-nan".
    want[8] = std::string("Frame rate = ") + c.rate;
    EXPECT_TRUE(r.ok && lines_of(r.out) == want) << c.rate << ":\n" << r.out;
  }
}
// What the walk printed up to the refusal, and the refusal: each code missing in turn, the formats
// that are not "raw " or "WRLE", a sound track ahead of the video one (the first is read), no
// window.
TEST(HeaderWalk, Refusals) {
  const Bytes good = testmov::build_movie(small_movie());
  const auto without = [&](const char* code) {  // its bytes overwritten wherever they occur
    Bytes file = good;
    for (size_t at = 0; at + 4 <= file.size(); ++at)
      if (!std::memcmp(&file[at], code, 4)) file[at] = 'X';
    return file;
  };
  std::vector<std::pair<Bytes, Lines>> cases = {{{}, {"Unable to find tag \"mvhd\""}}};
  for (const auto& [code, before] : std::vector<std::pair<const char*, size_t>>{{"mvhd", 0},
                                                                                {"tkhd", 1},
                                                                                {"mdhd", 4},
                                                                                {"stsd", 5},
                                                                                {"stts", 7},
                                                                                {"stsc", 9},
                                                                                {"stco", 11}})
    cases.push_back(
        {without(code), walk_then(before, {std::string("Unable to find tag \"") + code + "\""})});
  for (const char* f : {"RAW ", "wrle", "jpeg", "raw\0", "rle "}) {
    testmov::MovieRecipe recipe = small_movie();
    recipe.format = std::string(f, 4);
    const Lines want = walk_then(6, {"Data format = \"" + recipe.format + "\"", kUnsupported});
    cases.push_back({testmov::build_movie(recipe), want});
  }
  Bytes movie = good;  // the sound track's header, of 0 x 0 pixels, stops the walk
  const Bytes sound = testbytes::Cat({0, 0, 0, 92, 't', 'k', 'h', 'd'}, Bytes(84, 0));
  movie.insert(movie.begin() + long(find_code(movie, "mvhd") - 4 + 108), sound.begin(),
               sound.end());
  cases.push_back(
      {movie, walk_then(2, {"Width = 0", "Height = 0",
                            "The movie's frames are 0 x 0 pixels; there is nothing to convert."})});
  testmov::MovieRecipe no_width = small_movie();
  no_width.width = 0;
  cases.push_back(
      {testmov::build_movie(no_width),
       walk_then(2, {"Width = 0", "Height = 2",
                     "The movie's frames are 0 x 2 pixels; there is nothing to convert."})});
  for (const auto& [file, want] : cases) {
    const WalkResult r = walk(file);
    EXPECT_TRUE(!r.ok && lines_of(r.out) == want) << r.out;
  }
}
// Codes match wherever their bytes first occur after the previous match: a "tkhd" in the media
// data ahead of the real track header gives the width.
TEST(HeaderWalk, CodeInsideOtherDataIsMatched) {
  testmov::MovieRecipe recipe = small_movie(1, false);
  recipe.frames[0] = Bytes(300, 0), recipe.frames_per_chunk = {1};
  Bytes file = testmov::build_movie(recipe);
  const size_t data = find_code(file, "mdat") + 4;
  std::memcpy(&file[data + 4], "mvhd", 4), std::memcpy(&file[data + 20], "tkhd", 4);
  put_be32(file, data + 20 + 80, 77u << 16), put_be32(file, data + 20 + 84, 9u << 16);
  const WalkResult r = walk(file);
  EXPECT_EQ(std::make_tuple(r.ok, r.header.width, r.header.height), std::make_tuple(true, 77, 9))
      << r.out;
}
// A field or table that runs past the window's end (cut just short of the field's last byte; one
// byte more and it passes), a count claiming more entries than the window holds, the window capped
// at kHeaderWindowBytes: the walk stops with a message naming the atom.
TEST(HeaderWalk, TruncatedOrDamaged) {
  const Bytes file = testmov::build_movie(small_movie());
  // field_end: from the code, the first byte after the field; last_of_atom: nothing more of it is
  // read
  const struct {
    const char* code;
    size_t field_end, lines_before;
    bool last_of_atom;
  } kCuts[] = {{"tkhd", 84, 2, false},  {"tkhd", 88, 2, true},  {"mdhd", 20, 5, true},
               {"stsd", 12, 5, false},  {"stsd", 20, 6, true},  {"stts", 20, 8, true},
               {"stsc", 12, 10, false}, {"stsc", 24, 11, true}, {"stco", 12, 12, false},
               {"stco", 24, 13, true}};
  for (const auto& c : kCuts) {
    const std::string message = std::string("The \"") + c.code + "\" atom is truncated or damaged";
    const size_t end = find_code(file, c.code) + c.field_end;
    EXPECT_EQ(lines_of(walk(Bytes(file.begin(), file.begin() + long(end - 1))).out),
              walk_then(c.lines_before, {message}));
    const Bytes whole(file.begin(), file.begin() + long(end));  // the field complete: it passes
    EXPECT_TRUE(!c.last_of_atom || walk(whole).out.find(message) == std::string::npos) << message;
  }
  const struct {
    const char* code;
    uint32_t count;
    const char* printed;
  } kCounts[] = {{"stsc", 0xFFFFFFFFu, "-1"},
                 {"stsc", 0x80000000u, "-2147483648"},
                 {"stco", 1000, "1000"},
                 {"stsc", 0x15555556u, "357913942"},
                 {"stco", 0x40000001u, "1073741825"}};  // x 12, x 4 wrap to 8, 4
  for (const auto& c : kCounts) {
    Bytes bad = file;
    put_be32(bad, find_code(bad, c.code) + 8, c.count);
    const std::string out = walk(bad).out, want = std::string("Number of entries = ") + c.printed +
                                                  "\nThe \"" + c.code +
                                                  "\" atom is truncated or damaged\n";
    EXPECT_EQ(out.substr(out.size() - std::min(out.size(), want.size())), want);
  }
  testmov::MovieRecipe late =
      small_movie(1, false);  // the movie atom after a long mdat is not seen
  late.mdat_padding = kHeaderWindowBytes;
  EXPECT_EQ(walk(testmov::build_movie(late)).out, "Unable to find tag \"mvhd\"\n");
  Bytes window(kHeaderWindowBytes + 200, 0);  // a table ending past the cap, in a longer window
  std::copy(file.begin(), file.end(),
            window.begin() + long(kHeaderWindowBytes - (find_code(file, "stco") + 12)));
  EXPECT_EQ(lines_of(walk(window).out).back(), "The \"stco\" atom is truncated or damaged");
}
// 64-bit chunk offsets, and after "stsc" whichever of "stco" and "co64" comes first.
TEST(HeaderWalk, Co64) {
  testmov::MovieRecipe recipe = small_movie(4);
  recipe.use_co64 = true, recipe.frames_per_chunk = {3, 1}, recipe.chunk_order = {1, 0};
  Bytes file = testmov::build_movie(recipe);
  const size_t co64 = find_code(file, "co64"), mdat = find_code(file, "mdat");
  const WalkResult r = walk(file);
  Lines want = kWalk;
  want[10] = "Number of entries = 2", want[12] = "Number of entries = 2";
  EXPECT_EQ(lines_of(r.out), want);
  EXPECT_EQ(r.header.chunk_offsets,
            std::vector<uint64_t>({mdat + 4 + 24, mdat + 4}));  // chunk 2 first
  put_be32(file, co64 + 12, 1);                                 // beyond 4 GiB, whole
  EXPECT_EQ(walk(file).header.chunk_offsets[0], 0x100000000ull + mdat + 4 + 24);
  EXPECT_EQ(lines_of(walk(Bytes(file.begin(), file.begin() + long(co64 + 12 + 15))).out).back(),
            "The \"co64\" atom is truncated or damaged");
  for (bool wide :
       {true, false}) {  // a later "stco" (as a second track has) after co64, and the reverse
    testmov::MovieRecipe two = small_movie(2), later = small_movie(1);
    two.use_co64 = wide, later.use_co64 = !wide;
    const Bytes both = testbytes::Cat(testmov::build_movie(two), testmov::build_movie(later));
    EXPECT_EQ(walk(both).header.chunk_offsets.size(), 2u) << wide;
  }
}
// The format's examples, offsets beyond 4 GiB, odd table shapes, and tables claiming more
// frames than the file holds or than can be indexed.
TEST(FrameIndex, ExamplesShapesAndRefusals) {
  const uint64_t F = 1000, P = 100, Q = 90000, R = 20000, G = 640 * 480 * 3,
                 big = uint64_t{1} << 40;
  const uint64_t P32 = 0xFFFFF000ull,
                 Q64 = 0x123456789ull;  // a 32-bit offset near its top, a co64 offset
  const std::string file_msg = "The sample tables claim more frames than the file can hold\n";
  const struct {  // out not empty: refused with this message
    std::vector<sample_to_chunk> table;
    std::vector<uint64_t> chunks;
    uint64_t frame_size, file_size;
    std::vector<uint64_t> want;
    std::string out;
  } kCases[] = {
      {{{1, 4, 1}},
       {P, Q, R},
       F,
       big,
       {P, P + F, P + 2 * F, P + 3 * F, Q, Q + F, Q + 2 * F, Q + 3 * F, R, R + F, R + 2 * F,
        R + 3 * F},
       ""},
      {{{1, 2, 1}, {3, 1, 1}},
       {0, 10000, 20000, 30000},
       F,
       big,
       {0, F, 10000, 10000 + F, 20000, 30000},
       ""},
      {{{1, 3, 1}}, {P32, Q64}, G, big, {P32, P32 + G, P32 + 2 * G, Q64, Q64 + G, Q64 + 2 * G}, ""},
      {{}, {100, 200}, 10, 1 << 20, {}, ""},
      {{{1, 0, 1}}, {100, 200}, 10, 1 << 20, {}, ""},
      {{{7, 2, 1}}, {100, 200}, 10, 1 << 20, {100, 110, 200, 210}, ""},   // the first entry's first
                                                                          // chunk is ignored
      {{{1, 1, 1}, {9, 5, 1}}, {100, 200}, 10, 1 << 20, {100, 200}, ""},  // an entry past the last
                                                                          // chunk
      {{{1, 1, 1}, {2, 2, 1}, {2, 3, 1}},
       {100, 200, 300},
       10,
       1 << 20,
       {100, 200, 210, 300, 310, 320},
       ""},
      {{{1, 5, 1}}, {0, 0}, 10, 100, {0, 10, 20, 30, 40, 0, 10, 20, 30, 40}, ""},  // exactly what
                                                                                   // fits
      {{{1, 5, 1}}, {0, 0}, 10, 99, {}, file_msg},
      {{{1, 0xFFFFFFFFu, 1}}, {0}, 3, 1000, {}, file_msg},
      {{{1, 0xFFFFFFFFu, 1}},
       std::vector<uint64_t>(1000),
       3,
       big << 22,
       {},
       "The sample tables claim more frames than can be indexed\n"},
      {{{1, 4, 1}}, {0, 0, 0}, 0, 11, {}, file_msg},  // a zero frame size counts as 1 byte
      {{{1, 4, 1}}, {0, 0, 0}, 0, 12, std::vector<uint64_t>(12), ""},
  };
  for (size_t i = 0; i < std::size(kCases); ++i) {
    const auto& c = kCases[i];
    bool ok = false;
    EXPECT_EQ(testbytes::captured_stdout([&] {
                ok = (reset_index(),
                      calc_frame_offsets(c.table.data(), int(c.table.size()), c.chunks.data(),
                                         int(c.chunks.size()), c.frame_size, c.file_size));
              }),
              c.out)
        << "case " << i;
    EXPECT_TRUE(ok == c.out.empty() && size_t(total_frames) == c.want.size()) << "case " << i;
    EXPECT_EQ(frame_offsets, c.want) << "case " << i;
  }
  reset_index();
}
// "raw " (RGB, top row first) to DIB (BGR, bottom row first): the 2 x 2 example, packed rows of any
// width (from 12 the 16-byte path, the others its ends), nothing written past the frame or for
// sizes <= 0.
TEST(RawToBgr, PackedRowsAnyWidth) {
  Bytes target(12, 0xEE);
  raw_to_BGR(Bytes{0x10, 0x11, 0x12, 0x20, 0x21, 0x22, 0x30, 0x31, 0x32, 0x40, 0x41, 0x42}.data(),
             target.data(), 2, 2);
  EXPECT_EQ(target,
            Bytes({0x32, 0x31, 0x30, 0x42, 0x41, 0x40, 0x12, 0x11, 0x10, 0x22, 0x21, 0x20}));
  for (int width : {1, 2, 3, 5, 7, 11, 12, 13, 16, 17, 18, 21, 22, 32, 33, 64, 101, 1920})
    for (int height : {1, 2, 3, 4}) {
      const Bytes source = testmov::make_frame(width, height, uint32_t(width), 50);
      Bytes out(source.size() + 8, 0xEE),
          want = testfiles::expected_dib(source, width, height, true);
      raw_to_BGR(source.data(), out.data(), width, height);
      want.resize(out.size(), 0xEE);
      ASSERT_EQ(out, want) << "w=" << width << " h=" << height;
    }
  for (const auto& [w, h] : std::vector<std::pair<int, int>>{{0, 4}, {4, 0}, {-1, 4}, {4, -3}}) {
    Bytes out(48, 0xEE);
    raw_to_BGR(Bytes(48, 1).data(), out.data(), w, h);
    EXPECT_EQ(out, Bytes(48, 0xEE)) << "w=" << w << " h=" << h;
  }
}
// read_movie (the top-level walk to the movie atom) over a file in memory, a file_size beyond its
// bytes reading as zeros (a sparse file), a read of more than an atom header at fail_at
// failing. Returns the output, outcome and offsets.
std::string read_in_memory(const Bytes& file, uint64_t file_size = 0, uint64_t fail_at = ~0ull) {
  file_size = std::max<uint64_t>(file_size, file.size());
  const ReadAt read_at = [&](uint64_t off, unsigned char* dst, size_t n) {
    EXPECT_TRUE(off <= file_size && n <= file_size - off) << "read outside the file at " << off;
    for (size_t i = 0; i < n; ++i) dst[i] = off + i < file.size() ? file[off + i] : 0;
    return off != fail_at || n <= 16;
  };
  bool ok = false;
  MovieHeader h;
  std::string text = testbytes::captured_stdout([&] { ok = read_movie(file_size, read_at, h); });
  text += ok ? "(ok) at" : "(failed) at";
  for (uint64_t offset : frame_offsets) text += " " + std::to_string(offset);
  reset_index();
  return text;
}
// Fragment runs after a movie atom with no frames of its own: their data at the base of
// "tfhd" (explicit, or the start of "moof") plus the run's data offset, or right after the
// run before; sizes from "tfhd" or listed per sample; another track's runs are passed over.
TEST(MovieReader, FragmentDataOffsets) {
  const Bytes movie = testmov::build_movie(small_movie(0));
  const struct {
    uint32_t tfhd_flags;   // 0x1 explicit base, 0x10 default size, 0x20000 base is moof
    uint32_t trun_flags;   // 0x1 data offset, 0x200 listed sizes
    bool split;            // the three frames in two runs, the second with no offset
    uint32_t other_track;  // a run of 2 frames for this track_ID ahead of the video's
  } kRows[] = {{0x11, 0, false, 0},
               {0x20010, 1, false, 0},
               {0x10, 1, true, 0},
               {0, 0x201, false, 0},
               {0x10, 1, false, 7}};
  for (const auto& row : kRows) {
    SCOPED_TRACE(row.tfhd_flags * 100 + row.trun_flags);
    testbytes::ByteWriter w(true);
    const size_t moof = w.open("moof");
    for (uint32_t track : {row.other_track, 1u}) {
      if (track == 0) continue;
      const size_t traf = w.open("traf"), tfhd = w.open("tfhd");
      w.u32(row.tfhd_flags).u32(track);
      if (row.tfhd_flags & 1) w.u64(0);  // patched below: the media data's start
      if (row.tfhd_flags & 0x10) w.u32(24);
      w.close(tfhd);
      for (uint32_t frames : row.split ? std::vector<uint32_t>{2, 1} : std::vector<uint32_t>{3}) {
        const size_t trun = w.open("trun");
        w.u32(frames == 1 ? 0 : row.trun_flags).u32(frames);
        if (frames != 1 && (row.trun_flags & 1)) w.u32(0);  // patched below
        for (uint32_t i = 0; (row.trun_flags & 0x200) && i < frames; ++i) w.u32(24);
        w.close(trun);
      }
      w.close(traf);
    }
    w.close(moof);
    const uint64_t data = movie.size() + w.b.size() + 8;
    for (size_t at = 0; at + 4 <= w.b.size(); ++at) {
      if (std::memcmp(&w.b[at], "tfhd", 4) == 0 && (row.tfhd_flags & 1))
        put_be32(w.b, at + 16, uint32_t(data));
      if (std::memcmp(&w.b[at], "trun", 4) == 0 && (w.b[at + 7] & 1))
        put_be32(w.b, at + 12, uint32_t(data - ((row.tfhd_flags & 1) ? data : movie.size())));
    }
    testbytes::ByteWriter mdat(true);
    const size_t m = mdat.open("mdat");
    mdat.zeros(72).close(m);
    const std::string out = read_in_memory(testbytes::Cat(testbytes::Cat(movie, w.b), mdat.b));
    EXPECT_EQ(out.substr(out.find("3 frames")),
              "3 frames indexed\n(ok) at " + std::to_string(data) + " " +
                  std::to_string(data + 24) + " " + std::to_string(data + 48));
  }
  // A "trun" too short for its sample count: the fragment is damaged, nothing of it indexed.
  testbytes::ByteWriter w(true);
  const size_t moof = w.open("moof"), traf = w.open("traf"), tfhd = w.open("tfhd");
  w.u32(0x10).u32(1).u32(24).close(tfhd);
  const size_t trun = w.open("trun");
  w.u32(0).close(trun);
  w.close(traf);
  w.close(moof);
  const std::string out = read_in_memory(testbytes::Cat(movie, w.b));
  EXPECT_NE(out.find("0 frames indexed\nThe movie fragment at byte " +
                     std::to_string(movie.size()) + " is truncated or damaged"),
            std::string::npos)
      << out;
}
// The track model over two qtmux movies of the fuzz corpus (their atoms read by hand): a
// sound track ahead of the video one, each with its chunk list and sizes; and fragments,
// one run per "trun" after the movie atom's empty tables, rows padded to 52 bytes.
TEST(MovieReader, TracksAndRunsOfQtmuxMovies) {
  const auto read = [](const char* name, MovieHeader& h) {
    const Bytes file = testfiles::read_file(ZODUVIV_DEFAULT_SOURCE_DIR "/tests/fuzz/corpus/mov/" +
                                            std::string(name));
    const ReadAt read_at = [&](uint64_t off, unsigned char* dst, size_t n) {
      return off <= file.size() && n <= file.size() - off &&
             (std::copy_n(file.begin() + long(off), n, dst), true);
    };
    testbytes::captured_stdout([&] { EXPECT_TRUE(read_movie(file.size(), read_at, h)); });
    reset_index();
  };
  const auto runs = [](const MovieTrack& t) {
    std::vector<std::vector<uint64_t>> out;
    for (const MediaChunk& c : t.chunks)
      out.push_back(
          {c.offset, c.first_sample, c.samples, t.size_in(c, 0), t.size_in(c, c.samples - 1)});
    return out;
  };
  MovieHeader sound, fragments;
  read("gst_sound_first_padded_rows.mov", sound);
  read("gst_fragments.mov", fragments);
  ASSERT_EQ(sound.tracks.size(), 2u);
  EXPECT_TRUE(sound.tracks[0].is("soun") && sound.tracks[1].is("vide") && sound.video_track == 1);
  EXPECT_EQ(std::make_pair(sound.tracks[0].track_id, sound.tracks[1].track_id),
            std::make_pair(1u, 2u));
  using Runs = std::vector<std::vector<uint64_t>>;
  EXPECT_EQ(runs(sound.tracks[0]), Runs({{36, 0, 64, 2, 2}}));
  EXPECT_EQ(runs(sound.tracks[1]), Runs({{164, 0, 3, 832, 832}}));
  ASSERT_EQ(fragments.tracks.size(), 1u);
  EXPECT_EQ(runs(fragments.tracks[0]), Runs({{912, 0, 1, 832, 832}, {1860, 1, 2, 832, 832}}));
  EXPECT_EQ(
      std::make_tuple(fragments.frame_bytes, fragments.row_stride, fragments.fragments_damaged),
      std::make_tuple(uint64_t{832}, uint64_t{52}, false));
}
// Top-level atoms that lie beyond the head and are damaged: a clear message, and the run stops.
TEST(MovieReader, DamagedTruncatedOrOversizedMovieAtom) {
  testmov::MovieRecipe recipe = small_movie(2, false);
  recipe.mdat_padding = kHeaderWindowBytes;
  const Bytes good = testmov::build_movie(recipe);
  const size_t moov = 20 + 8 + kHeaderWindowBytes + 2 * 24;  // ftyp, mdat, padding, frames
  const uint32_t big = (64u << 20) + 1;  // with the file_size past the bytes built: a sparse file
  const std::string damaged = "The \"moov\" atom is truncated or damaged\n(failed) at";
  const struct {
    size_t at;
    uint32_t size;  // 1: the 64-bit size follows in place of the first 8 bytes inside
    uint64_t size64;
    uint64_t file_size;
    bool read_fails;  // reading the atom at `at` whole fails
    std::string out;
  } cases[] = {{moov, 7, 0, 0, false, damaged},
               // ends 1 byte past the file
               {moov, uint32_t(good.size() - moov + 1), 0, 0, false, damaged},
               {moov, 1, 12, 0, false, damaged},  // a 64-bit size shorter than its 16-byte header
               {moov, big, 0, moov + big, false,
                "The \"moov\" atom is 67108865 bytes long, more than the "
                "67108864 bytes (64 MiB) that are read\n(failed) at"},
               {moov, uint32_t(good.size() - moov), 0, 0, true,
                "Unable to read the \"moov\" atom from the input file\n(failed) at"},
               // a damaged "mdat" before it
               {20, 3, 0, 0, false, "Unable to find tag \"mvhd\"\n(failed) at"}};
  for (const auto& c : cases) {
    SCOPED_TRACE("size " + std::to_string(c.size) + " " + std::to_string(c.size64));
    Bytes bytes = good;
    put_be32(bytes, c.at, c.size);
    if (c.size == 1) {
      put_be32(bytes, c.at + 8, uint32_t(c.size64 >> 32));
      put_be32(bytes, c.at + 12, uint32_t(c.size64));
    }
    EXPECT_EQ(read_in_memory(bytes, c.file_size, c.read_fails ? c.at : ~0ull), c.out);
  }
  // Inside the head, a movie atom whose 64-bit size is below its 16-byte header is left
  // to the head walk, which finds the two frames after "ftyp" and the "mdat" header.
  const Bytes plain = testmov::build_movie(small_movie(2, false));
  const size_t at = 20 + 8 + 2 * 24;
  ASSERT_EQ(std::string(plain.begin() + at + 4, plain.begin() + at + 8), "moov");
  Bytes wide(plain.begin(), plain.begin() + at);
  wide = testbytes::Cat(wide, {0, 0, 0, 1, 'm', 'o', 'o', 'v', 0, 0, 0, 0, 0, 0, 0, 12});
  wide.insert(wide.end(), plain.begin() + at + 8, plain.end());
  const std::string out = read_in_memory(wide);
  EXPECT_EQ(out.substr(out.rfind('\n') + 1), "(ok) at 28 52") << out;
}
}  // namespace

// Movie reading: the tag search, the header walk over generated movies (its exact
// messages), damaged and hostile headers, the frame index and the pixel conversion.
#include "mov/mov.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/bytes.h"
#include "tests/support/movie_writer.h"
#include "tests/support/test_files.h"

namespace {

using Bytes = std::vector<uint8_t>;

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// Compares printed text line by line, so a failure names the first differing line.
void expect_lines(const std::string& have, const std::vector<std::string>& want, const std::string& what) {
  EXPECT_EQ(lines_of(have), want) << what;
  EXPECT_TRUE(have.empty() || have.back() == '\n') << what << ": output ends without newline";
}

struct WalkResult {
  bool ok = false;
  std::string out;
  MovieHeader header;
};

WalkResult walk(const Bytes& window) {
  WalkResult r;
  r.out = testbytes::captured_stdout([&] { r.ok = read_movie_header(window.data(), window.size(), r.header); });
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

testmov::MovieRecipe small_movie(int frames = 3) {
  testmov::MovieRecipe recipe;
  for (int i = 0; i < frames; ++i) recipe.frames.push_back(testmov::make_frame(recipe.width, recipe.height, i, 3));
  return recipe;
}

std::vector<std::string> full_walk(int width, int height, const std::string& format, const std::string& rate,
                                   int map_entries, int chunks, int descriptions = 1) {
  return {"Movie header found",
          "Track header found",
          "Width = " + std::to_string(width),
          "Height = " + std::to_string(height),
          "Media header found",
          "Sample description found, number of entries = " + std::to_string(descriptions),
          "Data format = \"" + format + "\"",
          "Sample to time table found",
          "Frame rate = " + rate,
          "Sample to chunk table found",
          "Number of entries = " + std::to_string(map_entries),
          "Sample offset table found",
          "Number of entries = " + std::to_string(chunks)};
}
const std::vector<std::string> kWalk = full_walk(4, 2, "raw ", "30.000000", 1, 3);
const std::string kUnsupported =
    "Unsupported data format, please select \"BMP\" or \"none\" as the video compression when saving a .mov file";

// Resets the globals the index appends to.
void reset_index() {
  frame_offsets.clear();
  total_frames = 0;
}

struct IndexResult {
  bool ok = false;
  std::string out;
  std::vector<uint64_t> offsets;
};

IndexResult build_index(const std::vector<sample_to_chunk>& table, const std::vector<uint64_t>& chunks,
                        uint64_t frame_size, uint64_t file_size) {
  reset_index();
  IndexResult r;
  r.out = testbytes::captured_stdout([&] {
    r.ok =
        calc_frame_offsets(table.data(), int(table.size()), chunks.data(), int(chunks.size()), frame_size, file_size);
  });
  EXPECT_EQ(size_t(total_frames), frame_offsets.size());
  r.offsets = frame_offsets;
  reset_index();
  return r;
}

// A code at an odd offset, at the window's end, inside another atom's data; nothing found (the cursor stays, the
// message names the code) when the code is cut by the end, lies before the cursor, or remaining is negative.
TEST(FindTag, Table) {
  const struct {
    std::string window;
    int start, at;  // the cursor's offset into the window; the match, -1 for none
    int remaining;  // bytes left at the cursor; 0: to the window's end
  } kCases[] = {{"abcdetkhdx", 0, 5, 0}, {"xxxxxtkhd", 0, 5, 0}, {std::string("\0\0\0\x20mvhd..tkhd..", 16), 0, 10, 0},
                {"tkhd-tkhd", 1, 5, 0},  {"xxxxtkh", 0, -1, 0},  {"tkhdxx", 1, -1, 0},
                {"tkhd", 0, -1, -5}};
  for (const auto& c : kCases) {
    const unsigned char* base = reinterpret_cast<const unsigned char*>(c.window.data());
    const unsigned char* position = base + c.start;
    const int before = c.remaining ? c.remaining : int(c.window.size()) - c.start;
    int remaining = before;
    bool found = false;
    const std::string out = testbytes::captured_stdout([&] { found = findtag(position, "tkhd", remaining); });
    EXPECT_EQ(found, c.at >= 0) << c.window;
    EXPECT_EQ(position - base, c.at >= 0 ? c.at : c.start) << c.window;
    EXPECT_EQ(remaining, before - (c.at >= 0 ? c.at - c.start : 0)) << c.window;
    EXPECT_EQ(out, c.at >= 0 ? "" : "Unable to find tag \"tkhd\"\n") << c.window;
  }
}

// Geometry (a 16.16 width of 320.5 reads as 320), both formats, frame rates (only the
// first duration counts), table shapes, the description count as stored, the movie atom
// first or last: every message and field.
TEST(HeaderWalk, FullMessagesAndFields) {
  const struct {
    int width, height;
    double fraction;
    std::string format;
    int32_t time_scale;
    std::vector<int32_t> durations;
    std::string rate;
    std::vector<uint32_t> per_chunk;
    int map_entries;
    bool moov_first;
    uint32_t descriptions;
  } kCases[] = {
      {4, 2, 0, "raw ", 600, {20}, "30.000000", {}, 1, true, 1},
      {6, 3, 0, "WRLE", 2997, {100}, "29.970000", {2, 2, 1}, 2, false, 1},
      {5, 1, 0, "raw ", 25, {1}, "25.000000", {3, 2}, 2, true, 3},
      {3, 3, 0, "raw ", 600, {0}, "inf", {1, 1, 1, 1, 1}, 1, true, 1},
      {2, 2, 0, "WRLE", 0, {0}, "-nan", {5}, 1, true, 1},
      {320, 2, 0.5, "raw ", 600, {100, 20, 40}, "6.000000", {}, 1, true, 1},
  };
  for (const auto& c : kCases) {
    testmov::MovieRecipe recipe;
    recipe.width = c.width;
    recipe.height = c.height;
    recipe.width_fraction = c.fraction;
    recipe.format = c.format;
    recipe.time_scale = c.time_scale;
    recipe.durations = c.durations;
    for (int i = 0; i < 5; ++i) recipe.frames.push_back(testmov::make_frame(c.width, c.height, i, 2));
    recipe.frames_per_chunk = c.per_chunk;
    recipe.moov_first = c.moov_first;
    recipe.stsd_entries = c.descriptions;
    const WalkResult r = walk(testmov::build_movie(recipe));
    const int chunks = c.per_chunk.empty() ? 5 : int(c.per_chunk.size());
    std::vector<std::string> want =
        full_walk(c.width, c.height, c.format, c.rate, c.map_entries, chunks, int(c.descriptions));
    if (c.rate == "-nan" && lines_of(r.out).size() > 8 && lines_of(r.out)[8] == "Frame rate = nan")
      want[8] = "Frame rate = nan";
    ASSERT_TRUE(r.ok) << r.out;
    expect_lines(r.out, want, c.format + " " + c.rate);
  }
}

// Refused headers: what the walk printed up to the refusal, and the refusal.
TEST(HeaderWalk, Refusals) {
  const Bytes good = testmov::build_movie(small_movie());
  const auto without = [&](const char* code) {  // the code's bytes overwritten wherever they occur
    Bytes file = good;
    for (size_t at = 0; at + 4 <= file.size(); ++at)
      if (std::memcmp(&file[at], code, 4) == 0) file[at] = 'X';
    return file;
  };
  const auto head = [](size_t n, std::vector<std::string> last) {
    last.insert(last.begin(), kWalk.begin(), kWalk.begin() + long(n));
    return last;
  };
  const auto not_found = [&](const char* code, size_t before) {
    return head(before, {std::string("Unable to find tag \"") + code + "\""});
  };
  const auto format = [&](const char* f) {
    testmov::MovieRecipe recipe = small_movie();
    recipe.format = std::string(f, 4);
    return std::pair{testmov::build_movie(recipe), head(6, {"Data format = \"" + recipe.format + "\"", kUnsupported})};
  };
  std::vector<std::pair<Bytes, std::vector<std::string>>> cases = {
      {{}, not_found("mvhd", 0)}, {without("mvhd"), not_found("mvhd", 0)}, {without("tkhd"), not_found("tkhd", 1)},
      {without("mdhd"), not_found("mdhd", 4)}, {without("stsd"), not_found("stsd", 5)},
      {without("stts"), not_found("stts", 7)}, {without("stsc"), not_found("stsc", 9)},
      {without("stco"), not_found("stco", 11)},
      format("RAW "),
      format("wrle"),
      format("jpeg"),
      format("raw\0"),
      format("rle "),
  };
  for (const auto& [file, want] : cases) {
    const WalkResult r = walk(file);
    EXPECT_FALSE(r.ok);
    expect_lines(r.out, want, want.back());
  }
  MovieHeader header;
  EXPECT_EQ(testbytes::captured_stdout([&] { EXPECT_FALSE(read_movie_header(nullptr, 0, header)); }),
            "Unable to find tag \"mvhd\"\n");
}

// Codes are matched wherever their bytes first occur after the previous match: here the
// text "tkhd" sits in the media data before the movie's real track header, so the walk
// reads its width from that place. And a sound track ahead of the video track: the walk
// reads the first track.
TEST(HeaderWalk, CodesInsideOtherDataAndOtherTracks) {
  testmov::MovieRecipe recipe = small_movie(1);
  recipe.moov_first = false;
  recipe.frames[0] = Bytes(300, 0);
  Bytes file = testmov::build_movie(recipe);
  const size_t data = find_code(file, "mdat") + 4;
  std::memcpy(&file[data + 4], "mvhd", 4);
  std::memcpy(&file[data + 20], "tkhd", 4);
  put_be32(file, data + 20 + 80, 77u << 16);
  put_be32(file, data + 20 + 84, 9u << 16);
  const WalkResult r = walk(file);
  ASSERT_TRUE(r.ok) << r.out;
  EXPECT_EQ(r.header.width, 77);
  EXPECT_EQ(r.header.height, 9);

  testbytes::ByteWriter sound(true);
  const size_t tkhd = sound.open("tkhd");
  sound.zeros(84).close(tkhd);
  const size_t mdhd = sound.open("mdhd");
  sound.zeros(12).u32(44100).zeros(8).close(mdhd);
  const size_t stsd = sound.open("stsd");
  sound.zeros(4).u32(1).zeros(4).cc("twos").zeros(28).close(stsd);
  Bytes movie = testmov::build_movie(small_movie());
  movie.insert(movie.begin() + long(find_code(movie, "mvhd") - 4 + 108), sound.b.begin(), sound.b.end());
  const WalkResult s = walk(movie);
  EXPECT_FALSE(s.ok);
  expect_lines(s.out,
               {"Movie header found", "Track header found", "Width = 0", "Height = 0", "Media header found",
                "Sample description found, number of entries = 1", "Data format = \"twos\"", kUnsupported},
               "sound first");
}

// A field or table that runs past the window's end (the window cut just short of the
// field's last byte), or a count claiming more entries than the window holds, stops the
// walk with a message naming the atom.
TEST(HeaderWalk, TruncatedOrDamaged) {
  const Bytes file = testmov::build_movie(small_movie());
  const struct {
    const char* code;
    size_t field_end;  // from the code: the first byte after the field
    size_t lines_before;
    bool last_of_atom;  // nothing else of the atom is read after it: one byte more, it passes
  } kCuts[] = {{"tkhd", 84, 2, false},  {"tkhd", 88, 2, true}, {"mdhd", 20, 5, true},   {"stsd", 12, 5, false},
               {"stsd", 20, 6, true},   {"stts", 20, 8, true}, {"stsc", 12, 10, false}, {"stsc", 24, 11, true},
               {"stco", 12, 12, false}, {"stco", 24, 13, true}};
  for (const auto& c : kCuts) {
    const std::string message = std::string("The \"") + c.code + "\" atom is truncated or damaged",
                      what = message + " at " + std::to_string(c.field_end);
    const size_t end = find_code(file, c.code) + c.field_end;
    std::vector<std::string> want(kWalk.begin(), kWalk.begin() + long(c.lines_before));
    want.push_back(message);
    expect_lines(walk(Bytes(file.begin(), file.begin() + long(end - 1))).out, want, what);
    if (c.last_of_atom) {
      EXPECT_EQ(walk(Bytes(file.begin(), file.begin() + long(end))).out.find(message), std::string::npos) << what;
    }
  }
  const struct {
    const char* code;
    uint32_t count;
    const char* printed;
  } kCounts[] = {{"stsc", 0xFFFFFFFFu, "-1"},
                 {"stsc", 0x80000000u, "-2147483648"},
                 {"stsc", 0x15555556u, "357913942"},   // x 12 wraps 32 bits to 8
                 {"stco", 0x40000001u, "1073741825"},  // x 4 wraps 32 bits to 4
                 {"stco", 1000, "1000"}};
  for (const auto& c : kCounts) {
    Bytes bad = file;
    put_be32(bad, find_code(bad, c.code) + 8, c.count);
    const std::vector<std::string> got = lines_of(walk(bad).out);
    ASSERT_GE(got.size(), 2u);
    EXPECT_EQ(std::vector<std::string>(got.end() - 2, got.end()),
              std::vector<std::string>({std::string("Number of entries = ") + c.printed,
                                        std::string("The \"") + c.code + "\" atom is truncated or damaged"}));
  }
}

// Nothing past kHeaderWindowBytes is read: the movie atom after a long mdat is not found,
// and a table ending past the cap is truncated even where the window holds it.
TEST(HeaderWalk, WindowIsCappedAtItsLength) {
  testmov::MovieRecipe recipe = small_movie(1);
  recipe.moov_first = false;
  recipe.mdat_padding = kHeaderWindowBytes;
  EXPECT_EQ(walk(testmov::build_movie(recipe)).out, "Unable to find tag \"mvhd\"\n");
  Bytes window(kHeaderWindowBytes + 200, 0);
  const Bytes movie = testmov::build_movie(small_movie(1));
  std::copy(movie.begin(), movie.end(), window.begin() + long(kHeaderWindowBytes - (find_code(movie, "stco") + 12)));
  EXPECT_EQ(lines_of(walk(window).out).back(), "The \"stco\" atom is truncated or damaged");
}

// 64-bit chunk offsets, and after "stsc" whichever of "stco" and "co64" comes first.
TEST(HeaderWalk, Co64) {
  testmov::MovieRecipe recipe = small_movie(4);
  recipe.use_co64 = true;
  recipe.frames_per_chunk = {3, 1};
  recipe.chunk_order = {1, 0};
  Bytes file = testmov::build_movie(recipe);
  const size_t co64 = find_code(file, "co64"), mdat = find_code(file, "mdat");
  const WalkResult plain = walk(file);
  ASSERT_TRUE(plain.ok) << plain.out;
  expect_lines(plain.out, full_walk(4, 2, "raw ", "30.000000", 2, 2), "co64");
  EXPECT_EQ(plain.header.chunk_offsets, std::vector<uint64_t>({mdat + 4 + 24, mdat + 4}));  // chunk 2 first
  put_be32(file, co64 + 12, 1);                                                             // beyond 4 GiB, whole
  EXPECT_EQ(walk(file).header.chunk_offsets[0], 0x100000000ull + mdat + 4 + 24);
  EXPECT_EQ(lines_of(walk(Bytes(file.begin(), file.begin() + long(co64 + 12 + 15))).out).back(),
            "The \"co64\" atom is truncated or damaged");
  // A later "stco" (as a second track would have) after co64, and a later co64 after stco.
  for (bool wide : {true, false}) {
    testmov::MovieRecipe two = small_movie(2);
    two.use_co64 = wide;
    Bytes f = testmov::build_movie(two);
    const Bytes tail = wide ? Bytes{0, 0, 0, 20, 's', 't', 'c', 'o', 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 9}
                            : Bytes{0, 0, 0, 24, 'c', 'o', '6', '4', 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 9};
    f.insert(f.end(), tail.begin(), tail.end());
    EXPECT_EQ(walk(f).header.chunk_offsets.size(), 2u) << (wide ? "took the later stco" : "took the later co64");
  }
}

TEST(FrameIndex, ExamplesShapesAndRefusals) {
  const uint64_t F = 1000, big = uint64_t{1} << 40, P = 100, Q = 90000, R = 20000, G = 640 * 480 * 3;
  const uint64_t P32 = 0xFFFFF000ull, Q64 = 0x123456789ull;  // a 32-bit offset near its top, a co64 offset
  std::vector<uint64_t> hundred;
  for (uint64_t i = 0; i < 100; ++i) hundred.push_back(5000 + i * 3 * F);
  const std::string file_msg = "The sample tables claim more frames than the file can hold\n";
  const struct {
    std::vector<sample_to_chunk> table;
    std::vector<uint64_t> chunks;
    uint64_t frame_size, file_size;
    std::vector<uint64_t> want;
    std::string out;  // not empty: refused with this message
  } kCases[] = {
      {{{1, 1, 1}}, hundred, F, big, hundred, ""}, {{{1, 4, 1}},
       {P, Q, R},
       F,
       big,
       {P, P + F, P + 2 * F, P + 3 * F, Q, Q + F, Q + 2 * F, Q + 3 * F, R, R + F, R + 2 * F, R + 3 * F},
       ""},
      {{{1, 2, 1}, {3, 1, 1}}, {0, 10000, 20000, 30000}, F, big, {0, F, 10000, 10000 + F, 20000, 30000}, ""},
      {{{1, 3, 1}}, {P32, Q64}, G, uint64_t{1} << 36, {P32, P32 + G, P32 + 2 * G, Q64, Q64 + G, Q64 + 2 * G}, ""},
      {{}, {100, 200}, 10, 1 << 20, {}, ""}, {{{1, 3, 1}}, {}, 10, 1 << 20, {}, ""},
      {{{1, 0, 1}}, {100, 200}, 10, 1 << 20, {}, ""},
      {{{7, 2, 1}}, {100, 200}, 10, 1 << 20, {100, 110, 200, 210}, ""},   // the first entry's first chunk is ignored
      {{{1, 1, 1}, {9, 5, 1}}, {100, 200}, 10, 1 << 20, {100, 200}, ""},  // an entry past the last chunk
      {{{1, 1, 1}, {2, 2, 1}, {2, 3, 1}}, {100, 200, 300}, 10, 1 << 20, {100, 200, 210, 300, 310, 320}, ""},
      {{{1, 10, 1}}, {0}, 10, 1 << 20, {0, 10, 20, 30, 40, 50, 60, 70, 80, 90}, ""},
      {{{1, 5, 1}}, {0, 0}, 10, 100, {0, 10, 20, 30, 40, 0, 10, 20, 30, 40}, ""},  // exactly what fits
      {{{1, 5, 1}}, {0, 0}, 10, 99, {}, file_msg}, {{{1, 0xFFFFFFFFu, 1}}, {0}, 3, 1000, {}, file_msg},
      {{{1, 0xFFFFFFFFu, 1}},
       std::vector<uint64_t>(1000),
       3,
       uint64_t{1} << 62,
       {},
       "The sample tables claim more frames than can be indexed\n"},
      {{{1, 4, 1}}, {0, 0, 0}, 0, 11, {}, file_msg},  // a zero frame size counts as 1 byte
      {{{1, 4, 1}}, {0, 0, 0}, 0, 12, std::vector<uint64_t>(12), ""}, {{{1, 1, 1}}, {0}, 12, 0, {}, file_msg},
  };
  for (size_t i = 0; i < std::size(kCases); ++i) {
    const auto& c = kCases[i];
    const IndexResult r = build_index(c.table, c.chunks, c.frame_size, c.file_size);
    EXPECT_EQ(r.ok, c.out.empty()) << "case " << i;
    EXPECT_EQ(r.out, c.out) << "case " << i;
    EXPECT_EQ(r.offsets, c.want) << "case " << i;
  }
}

// "raw " (RGB, top row first) to DIB (BGR, bottom row first): the 2 x 2 example, packed
// rows of any width (from 12 the 16-byte path, the others its ends), nothing written past
// the frame or for sizes of 0 or less.
TEST(RawToBgr, PackedRowsAnyWidth) {
  Bytes target(12, 0xEE);
  raw_to_BGR(Bytes{0x10, 0x11, 0x12, 0x20, 0x21, 0x22, 0x30, 0x31, 0x32, 0x40, 0x41, 0x42}.data(), target.data(), 2, 2);
  EXPECT_EQ(target, Bytes({0x32, 0x31, 0x30, 0x42, 0x41, 0x40, 0x12, 0x11, 0x10, 0x22, 0x21, 0x20}));
  for (int width : {1, 2, 3, 5, 7, 11, 12, 13, 16, 17, 18, 21, 22, 32, 33, 64, 101, 1920}) {
    for (int height : {1, 2, 3, 4}) {
      const Bytes source = testmov::make_frame(width, height, uint32_t(width), 50);
      Bytes out(source.size() + 8, 0xEE);
      raw_to_BGR(source.data(), out.data(), width, height);
      Bytes want = testfiles::expected_dib(source, width, height, true);
      want.resize(out.size(), 0xEE);
      ASSERT_EQ(out, want) << "w=" << width << " h=" << height;
    }
  }
  for (const auto& [w, h] : std::vector<std::pair<int, int>>{{0, 4}, {4, 0}, {-1, 4}, {4, -3}}) {
    Bytes out(48, 0xEE);
    raw_to_BGR(Bytes(48, 1).data(), out.data(), w, h);
    EXPECT_EQ(out, Bytes(48, 0xEE)) << "w=" << w << " h=" << h;
  }
}

}  // namespace

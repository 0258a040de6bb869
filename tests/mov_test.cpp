// Movie reading: the tag search, the byte order helpers, the header walk over generated
// movies (its exact messages), the frame index and the pixel conversion.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

#include "mov/mov.h"
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
void expect_lines(const std::string& have, const std::vector<std::string>& want,
                  const std::string& what) {
  const std::vector<std::string> got = lines_of(have);
  for (size_t i = 0; i < std::max(got.size(), want.size()); ++i) {
    const std::string g = i < got.size() ? got[i] : "<none>";
    const std::string w = i < want.size() ? want[i] : "<none>";
    EXPECT_EQ(g, w) << what << ": line " << i + 1;
  }
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
  for (size_t i = from; i + 4 <= file.size(); ++i)
    if (std::memcmp(file.data() + i, code, 4) == 0) return i;
  ADD_FAILURE() << "code " << code << " not in file";
  return file.size();
}

void put_be32(Bytes& b, size_t off, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[off + i] = static_cast<uint8_t>(v >> (24 - 8 * i));
}

testmov::MovieRecipe small_movie(int frames = 3) {
  testmov::MovieRecipe recipe;
  recipe.width = 4;
  recipe.height = 2;
  for (int i = 0; i < frames; ++i)
    recipe.frames.push_back(testmov::make_frame(recipe.width, recipe.height, i, 3));
  return recipe;
}

const std::vector<std::string> kHead = {
    "Movie header found",
    "Track header found",
    "Width = 4",
    "Height = 2",
    "Media header found",
    "Sample description found, number of entries = 1",
};

std::vector<std::string> full_walk(int width, int height, const std::string& format,
                                   const std::string& rate, int map_entries, int chunks) {
  return {"Movie header found",
          "Track header found",
          "Width = " + std::to_string(width),
          "Height = " + std::to_string(height),
          "Media header found",
          "Sample description found, number of entries = 1",
          "Data format = \"" + format + "\"",
          "Sample to time table found",
          "Frame rate = " + rate,
          "Sample to chunk table found",
          "Number of entries = " + std::to_string(map_entries),
          "Sample offset table found",
          "Number of entries = " + std::to_string(chunks)};
}

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
    r.ok = calc_frame_offsets(table.data(), static_cast<int>(table.size()), chunks.data(),
                              static_cast<int>(chunks.size()), frame_size, file_size);
  });
  EXPECT_EQ(static_cast<size_t>(total_frames), frame_offsets.size());
  r.offsets = frame_offsets;
  reset_index();
  return r;
}

// ---------------------------------------------------------------------------------------
// findtag

struct FindCase {
  const char* name;
  std::string window;
  int start;                 // cursor offset into the window
  bool found;
  int at;                    // expected match offset into the window
  const char* tag = "tkhd";  // only its first four characters count
  int remaining = 0;         // bytes left at the cursor; 0: to the window's end
};

TEST(FindTag, Table) {
  const FindCase cases[] = {
      {"match at the cursor", "tkhdxxxx", 0, true, 0},
      {"match at an odd offset", "abcdetkhdx", 0, true, 5},
      {"match at the very end", "xxxxxtkhd", 0, true, 5},
      {"match inside another atom's data", std::string("\0\0\0\x20mvhd..tkhd..", 16), 0, true,
       10},
      {"first of two matches", "tkhd-tkhd", 1, true, 5},
      {"search starts at the cursor", "tkhdtkhd", 4, true, 4},
      {"uses only the first four characters", "..stcoXYZ", 0, true, 2, "stco-and-more"},
      {"not found", "abcdefgh", 0, false, 0},
      {"code cut by the window's end", "xxxxtkh", 0, false, 0},
      {"empty window", "", 0, false, 0},
      {"code before the cursor only", "tkhdxx", 1, false, 0},
      {"negative remaining finds nothing", "tkhd", 0, false, 0, "tkhd", -5},
  };
  for (const FindCase& c : cases) {
    const unsigned char* base = reinterpret_cast<const unsigned char*>(c.window.data());
    const unsigned char* position = base + c.start;
    const int before = c.remaining ? c.remaining : static_cast<int>(c.window.size()) - c.start;
    int remaining = before;
    bool found = false;
    const std::string out =
        testbytes::captured_stdout([&] { found = findtag(position, c.tag, remaining); });
    EXPECT_EQ(found, c.found) << "case=" << c.name;
    if (c.found) {
      EXPECT_EQ(position - base, c.at) << "case=" << c.name;
      EXPECT_EQ(remaining, before - (c.at - c.start)) << "case=" << c.name;
      EXPECT_EQ(out, "") << "case=" << c.name;
    } else {
      EXPECT_EQ(position - base, c.start) << "case=" << c.name << ": cursor moved on failure";
      EXPECT_EQ(remaining, before) << "case=" << c.name;
      EXPECT_EQ(out, "Unable to find tag \"tkhd\"\n") << "case=" << c.name;
    }
  }
}

// ---------------------------------------------------------------------------------------
// Byte order

TEST(ByteOrder, FromMovEdianS) {
  const struct {
    unsigned long value;
    unsigned long want;
  } cases[] = {
      {0x01400000ul, 320},   // 320.0
      {0x01408000ul, 320},   // 320.5: the fraction is dropped
      {0x0000FFFFul, 0},
      {0xFFFF0000ul, 65535},
      {0x00010000ul, 1},
      {0x12345678ul, 0x1234},
  };
  for (const auto& c : cases)
    EXPECT_EQ(from_mov_edian_s(c.value), c.want) << std::hex << "value=0x" << c.value;
}

TEST(ByteOrder, FromMovEdianLBlockConvertsCountWords) {
  unsigned char bytes[12] = {0x00, 0x00, 0x00, 0x01, 0x12, 0x34, 0x56, 0x78,
                             0xAA, 0xBB, 0xCC, 0xDD};
  from_mov_edian_l_block(bytes, 2);
  uint32_t words[2];
  std::memcpy(words, bytes, 8);
  EXPECT_EQ(words[0], 1u);
  EXPECT_EQ(words[1], 0x12345678u);
  EXPECT_EQ(bytes[8], 0xAA) << "a word beyond count was touched";
  EXPECT_EQ(bytes[11], 0xDD);
}

// ---------------------------------------------------------------------------------------
// The header walk over generated movies

TEST(HeaderWalk, FullMessagesAndFields) {
  const struct {
    const char* name;
    int width, height;
    std::string format;
    int32_t time_scale, duration;
    std::string rate;
    std::vector<uint32_t> per_chunk;
    int map_entries;
    bool moov_first;
  } cases[] = {
      {"raw, one frame per chunk", 4, 2, "raw ", 600, 20, "30.000000", {}, 1, true},
      {"WRLE, movie atom last", 6, 3, "WRLE", 2997, 100, "29.970000", {2, 2, 1}, 2, false},
      {"odd width", 5, 1, "raw ", 25, 1, "25.000000", {3, 2}, 2, true},
      {"zero duration", 3, 3, "raw ", 600, 0, "inf", {1, 1, 1, 1, 1}, 1, true},
      {"zero scale and duration", 2, 2, "WRLE", 0, 0, "-nan", {5}, 1, true},
  };
  for (const auto& c : cases) {
    testmov::MovieRecipe recipe;
    recipe.width = c.width;
    recipe.height = c.height;
    recipe.format = c.format;
    recipe.time_scale = c.time_scale;
    recipe.durations = {c.duration};
    for (int i = 0; i < 5; ++i) recipe.frames.push_back(testmov::make_frame(c.width, c.height, i, 2));
    recipe.frames_per_chunk = c.per_chunk;
    recipe.moov_first = c.moov_first;
    const WalkResult r = walk(testmov::build_movie(recipe));
    const int chunks = c.per_chunk.empty() ? 5 : static_cast<int>(c.per_chunk.size());
    std::vector<std::string> want =
        full_walk(c.width, c.height, c.format, c.rate, c.map_entries, chunks);
    if (c.rate == "-nan") {
      // The sign printed for 0/0 depends on the C library; the rest does not.
      std::vector<std::string> got = lines_of(r.out);
      ASSERT_GT(got.size(), 8u);
      EXPECT_TRUE(got[8] == "Frame rate = -nan" || got[8] == "Frame rate = nan") << got[8];
      want[8] = got[8];
    }
    ASSERT_TRUE(r.ok) << c.name << "\n" << r.out;
    expect_lines(r.out, want, c.name);
    EXPECT_EQ(r.header.width, c.width) << c.name;
    EXPECT_EQ(r.header.height, c.height) << c.name;
    EXPECT_EQ(r.header.time_scale, c.time_scale) << c.name;
    EXPECT_EQ(r.header.sample_duration, c.duration) << c.name;
    EXPECT_EQ(r.header.raw, c.format == "raw " ? 1 : 0) << c.name;
    EXPECT_EQ(static_cast<int>(r.header.chunk_map.size()), c.map_entries) << c.name;
    EXPECT_EQ(static_cast<int>(r.header.chunk_offsets.size()), chunks) << c.name;
  }
}

TEST(HeaderWalk, TablesAreReadInNativeOrder) {
  testmov::MovieRecipe recipe = small_movie(6);
  recipe.frames_per_chunk = {2, 2, 1, 1};
  recipe.chunk_order = {3, 1, 0, 2};
  const Bytes file = testmov::build_movie(recipe);
  const WalkResult r = walk(file);
  ASSERT_TRUE(r.ok) << r.out;
  ASSERT_EQ(r.header.chunk_map.size(), 2u);
  EXPECT_EQ(r.header.chunk_map[0].first_chunk, 1u);
  EXPECT_EQ(r.header.chunk_map[0].samples_per_chunk, 2u);
  EXPECT_EQ(r.header.chunk_map[0].sample_description_id, 1u);
  EXPECT_EQ(r.header.chunk_map[1].first_chunk, 3u);
  EXPECT_EQ(r.header.chunk_map[1].samples_per_chunk, 1u);
  // Each chunk's offset points at its frames in the file.
  const size_t frame = 4 * 2 * 3;
  const size_t first_frame[] = {0, 2, 4, 5};
  ASSERT_EQ(r.header.chunk_offsets.size(), 4u);
  for (size_t c = 0; c < 4; ++c) {
    const uint64_t off = r.header.chunk_offsets[c];
    ASSERT_LE(off + frame, file.size());
    EXPECT_TRUE(std::equal(recipe.frames[first_frame[c]].begin(), recipe.frames[first_frame[c]].end(),
                           file.begin() + static_cast<long>(off)))
        << "chunk " << c;
  }
}

TEST(HeaderWalk, WidthOf320AndAHalfReadsAs320) {
  testmov::MovieRecipe recipe;
  recipe.width = 320;
  recipe.height = 2;
  recipe.width_fraction = 0.5;
  recipe.frames = {Bytes(320 * 2 * 3, 7)};
  const Bytes file = testmov::build_movie(recipe);
  const size_t tkhd = find_code(file, "tkhd") - 4;
  EXPECT_EQ(file[tkhd + 86], 0x80) << "the writer should store the fraction";
  const WalkResult r = walk(file);
  ASSERT_TRUE(r.ok) << r.out;
  EXPECT_EQ(r.header.width, 320);
  EXPECT_NE(r.out.find("Width = 320\n"), std::string::npos) << r.out;
}

TEST(HeaderWalk, UnsupportedFormats) {
  const std::string message =
      "Unsupported data format, please select \"BMP\" or \"none\" as the video compression "
      "when saving a .mov file";
  const char* formats[] = {"RAW ", "wrle", "jpeg", "raw\0", "rle "};
  for (const char* f : formats) {
    testmov::MovieRecipe recipe = small_movie();
    recipe.format = std::string(f, 4);
    const WalkResult r = walk(testmov::build_movie(recipe));
    EXPECT_FALSE(r.ok) << f;
    std::vector<std::string> want = kHead;
    want.push_back("Data format = \"" + std::string(f, 4) + "\"");
    want.push_back(message);
    expect_lines(r.out, want, std::string("format ") + f);
  }
}

TEST(HeaderWalk, DescriptionCountIsPrintedAsIs) {
  testmov::MovieRecipe recipe = small_movie();
  recipe.stsd_entries = 3;
  const WalkResult r = walk(testmov::build_movie(recipe));
  ASSERT_TRUE(r.ok) << r.out;
  EXPECT_NE(r.out.find("Sample description found, number of entries = 3\n"), std::string::npos);
}

TEST(HeaderWalk, OnlyTheFirstDurationCounts) {
  testmov::MovieRecipe recipe = small_movie(4);
  recipe.durations = {100, 20, 40};
  const WalkResult r = walk(testmov::build_movie(recipe));
  ASSERT_TRUE(r.ok) << r.out;
  EXPECT_EQ(r.header.sample_duration, 100);
  EXPECT_NE(r.out.find("Frame rate = 6.000000\n"), std::string::npos) << r.out;
}

TEST(HeaderWalk, EmptyWindow) {
  const WalkResult r = walk(Bytes{});
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.out, "Unable to find tag \"mvhd\"\n");
  MovieHeader header;
  bool ok = true;
  EXPECT_EQ(testbytes::captured_stdout([&] { ok = read_movie_header(nullptr, 0, header); }),
            "Unable to find tag \"mvhd\"\n");
  EXPECT_FALSE(ok);
}

// Each code missing in turn (its bytes overwritten wherever they occur): the walk prints
// what it found before, then the not-found message, and stops.
TEST(HeaderWalk, MissingEachTag) {
  const struct {
    const char* code;
    size_t lines_before;
  } cases[] = {{"mvhd", 0}, {"tkhd", 1}, {"mdhd", 4}, {"stsd", 5},
               {"stts", 7}, {"stsc", 9}, {"stco", 11}};
  const std::vector<std::string> all = full_walk(4, 2, "raw ", "30.000000", 1, 3);
  for (const auto& c : cases) {
    Bytes file = testmov::build_movie(small_movie());
    for (size_t at = 0; at + 4 <= file.size(); ++at)
      if (std::memcmp(file.data() + at, c.code, 4) == 0) file[at] = 'X';
    const WalkResult r = walk(file);
    EXPECT_FALSE(r.ok) << c.code;
    std::vector<std::string> want(all.begin(), all.begin() + static_cast<long>(c.lines_before));
    want.push_back(std::string("Unable to find tag \"") + c.code + "\"");
    expect_lines(r.out, want, std::string("missing ") + c.code);
  }
}

// The movie atom beyond the window (for instance after a long mdat) is not seen.
TEST(HeaderWalk, MovieAtomBeyondTheWindow) {
  testmov::MovieRecipe recipe = small_movie(1);
  recipe.moov_first = false;
  recipe.mdat_padding = kHeaderWindowBytes;
  const Bytes file = testmov::build_movie(recipe);
  const WalkResult whole = walk(file);
  EXPECT_FALSE(whole.ok);
  EXPECT_EQ(whole.out, "Unable to find tag \"mvhd\"\n");
}

// Codes are matched wherever their bytes first occur after the previous match: here the
// text "tkhd" sits in the media data before the movie's real track header, so the walk
// reads its width from that place.
TEST(HeaderWalk, CodeInsideOtherDataIsMatched) {
  testmov::MovieRecipe recipe = small_movie(1);
  recipe.moov_first = false;
  recipe.frames[0] = Bytes(300, 0);
  recipe.frames_per_chunk = {1};
  Bytes file = testmov::build_movie(recipe);
  // Put "mvhd" and a fake "tkhd" with width 77 into the first frame's bytes.
  const size_t data = find_code(file, "mdat") + 4;
  std::memcpy(&file[data + 4], "mvhd", 4);
  std::memcpy(&file[data + 20], "tkhd", 4);
  put_be32(file, data + 20 + 80, 77u << 16);
  put_be32(file, data + 20 + 84, 9u << 16);
  const WalkResult r = walk(file);
  ASSERT_TRUE(r.ok) << r.out;
  EXPECT_EQ(r.header.width, 77);
  EXPECT_EQ(r.header.height, 9);
}

TEST(HeaderWalk, SoundTrackFirst) {
  // A sound track's atoms ahead of the video track: the walk reads the first track, whose
  // geometry of 0 x 0 pixels stops it.
  Bytes sound;
  auto atom = [&sound](const char* type, size_t payload) {
    const size_t start = sound.size();
    sound.resize(start + 8 + payload, 0);
    put_be32(sound, start, static_cast<uint32_t>(8 + payload));
    std::memcpy(&sound[start + 4], type, 4);
    return start;
  };
  atom("tkhd", 84);
  const size_t mdhd = atom("mdhd", 24);
  put_be32(sound, mdhd + 20, 44100);
  const size_t stsd = atom("stsd", 8 + 36);
  put_be32(sound, stsd + 12, 1);
  std::memcpy(&sound[stsd + 20], "twos", 4);
  Bytes file = testmov::build_movie(small_movie());
  const size_t mvhd_end = find_code(file, "mvhd") - 4 + 108;
  file.insert(file.begin() + static_cast<long>(mvhd_end), sound.begin(), sound.end());
  const WalkResult r = walk(file);
  EXPECT_FALSE(r.ok);
  expect_lines(r.out,
               {"Movie header found", "Track header found", "Width = 0", "Height = 0",
                "The movie's frames are 0 x 0 pixels; there is nothing to convert."},
               "sound first");
}

// A field or table that runs past the window's end stops the walk with a message naming
// the atom. The window is cut just short of the field's last byte.
TEST(HeaderWalk, TruncatedAtEachField) {
  const struct {
    const char* name;
    const char* code;
    size_t field_end;  // from the code: the first byte after the field
    size_t lines_before;
    bool last_of_atom;  // nothing else of this atom is read after the field
    const char* message;
  } cases[] = {
      {"tkhd width", "tkhd", 84, 2, false, "The \"tkhd\" atom is truncated or damaged"},
      {"tkhd height", "tkhd", 88, 2, true, "The \"tkhd\" atom is truncated or damaged"},
      {"mdhd time scale", "mdhd", 20, 5, true, "The \"mdhd\" atom is truncated or damaged"},
      {"stsd count", "stsd", 12, 5, false, "The \"stsd\" atom is truncated or damaged"},
      {"stsd format", "stsd", 20, 6, true, "The \"stsd\" atom is truncated or damaged"},
      {"stts duration", "stts", 20, 8, true, "The \"stts\" atom is truncated or damaged"},
      {"stsc count", "stsc", 12, 10, false, "The \"stsc\" atom is truncated or damaged"},
      {"stsc table", "stsc", 12 + 12, 11, true, "The \"stsc\" atom is truncated or damaged"},
      {"stco count", "stco", 12, 12, false, "The \"stco\" atom is truncated or damaged"},
      {"stco table", "stco", 12 + 3 * 4, 13, true, "The \"stco\" atom is truncated or damaged"},
  };
  const std::vector<std::string> all = full_walk(4, 2, "raw ", "30.000000", 1, 3);
  const Bytes file = testmov::build_movie(small_movie());
  for (const auto& c : cases) {
    const size_t code_at = find_code(file, c.code);
    const Bytes cut(file.begin(), file.begin() + static_cast<long>(code_at + c.field_end - 1));
    const WalkResult r = walk(cut);
    EXPECT_FALSE(r.ok) << c.name;
    std::vector<std::string> want(all.begin(), all.begin() + static_cast<long>(c.lines_before));
    want.push_back(c.message);
    expect_lines(r.out, want, c.name);
    // One byte more and the atom is whole (the walk then goes on or stops later).
    if (!c.last_of_atom) continue;
    const Bytes longer(file.begin(), file.begin() + static_cast<long>(code_at + c.field_end));
    const WalkResult r2 = walk(longer);
    EXPECT_EQ(r2.out.find(c.message), std::string::npos)
        << c.name << ": field fits but was refused\n" << r2.out;
  }
}

// A count that claims more entries than the window holds is refused before any copy.
TEST(HeaderWalk, DamagedTableCounts) {
  const struct {
    const char* code;
    uint32_t count;
    const char* printed;
    const char* message;
  } cases[] = {
      {"stsc", 0xFFFFFFFFu, "Number of entries = -1", "The \"stsc\" atom is truncated or damaged"},
      {"stsc", 0x80000000u, "Number of entries = -2147483648",
       "The \"stsc\" atom is truncated or damaged"},
      {"stsc", 0x15555556u, "Number of entries = 357913942",
       "The \"stsc\" atom is truncated or damaged"},  // x 12 wraps 32 bits to 8
      {"stco", 0x40000001u, "Number of entries = 1073741825",
       "The \"stco\" atom is truncated or damaged"},  // x 4 wraps 32 bits to 4
      {"stco", 1000, "Number of entries = 1000", "The \"stco\" atom is truncated or damaged"},
  };
  for (const auto& c : cases) {
    Bytes file = testmov::build_movie(small_movie());
    put_be32(file, find_code(file, c.code) + 8, c.count);
    const WalkResult r = walk(file);
    EXPECT_FALSE(r.ok) << c.code << " " << c.count;
    const std::vector<std::string> got = lines_of(r.out);
    ASSERT_GE(got.size(), 2u);
    EXPECT_EQ(got[got.size() - 2], c.printed);
    EXPECT_EQ(got.back(), c.message);
  }
}

// A window longer than kHeaderWindowBytes is read only up to that length.
TEST(HeaderWalk, WindowIsCappedAtItsLength) {
  Bytes window(kHeaderWindowBytes + 200, 0);
  const Bytes movie = testmov::build_movie(small_movie(1));
  // The movie atom starts so that its "stco" table ends past the cap.
  const size_t moov_at = kHeaderWindowBytes - (find_code(movie, "stco") + 12);
  std::copy(movie.begin(), movie.end(), window.begin() + static_cast<long>(moov_at));
  const WalkResult r = walk(window);
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(lines_of(r.out).back(), "The \"stco\" atom is truncated or damaged") << r.out;
}

TEST(HeaderWalk, Co64IsRead) {
  testmov::MovieRecipe recipe = small_movie(4);
  recipe.use_co64 = true;
  recipe.frames_per_chunk = {3, 1};
  recipe.chunk_order = {1, 0};
  const Bytes file = testmov::build_movie(recipe);
  Bytes patched = file;
  // A 64-bit offset beyond 4 GiB survives whole.
  const size_t co64 = find_code(patched, "co64");
  put_be32(patched, co64 + 12, 0x00000001u);
  put_be32(patched, co64 + 16, 0x00000010u);
  const WalkResult r = walk(patched);
  ASSERT_TRUE(r.ok) << r.out;
  expect_lines(r.out, full_walk(4, 2, "raw ", "30.000000", 2, 2), "co64");
  ASSERT_EQ(r.header.chunk_offsets.size(), 2u);
  EXPECT_EQ(r.header.chunk_offsets[0], 0x100000010ull);
  const WalkResult plain = walk(file);
  ASSERT_TRUE(plain.ok);
  // Chunk 2 lies first in the media data, right after its header.
  EXPECT_EQ(plain.header.chunk_offsets[1], find_code(file, "mdat") + 4);
  EXPECT_EQ(plain.header.chunk_offsets[0], find_code(file, "mdat") + 4 + 24);

  // A truncated co64 table is named as such.
  const Bytes cut(file.begin(), file.begin() + static_cast<long>(co64 + 12 + 15));
  const WalkResult r2 = walk(cut);
  EXPECT_FALSE(r2.ok);
  EXPECT_EQ(lines_of(r2.out).back(), "The \"co64\" atom is truncated or damaged");
}

// After "stsc", whichever of "stco" and "co64" comes first is the table.
TEST(HeaderWalk, StcoAndCo64TheEarlierWins) {
  // First track with co64, then a later "stco" (as a second track would have).
  testmov::MovieRecipe wide = small_movie(2);
  wide.use_co64 = true;
  Bytes file = testmov::build_movie(wide);
  const Bytes tail = {0, 0, 0, 20, 's', 't', 'c', 'o', 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 9};
  file.insert(file.end(), tail.begin(), tail.end());
  WalkResult r = walk(file);
  ASSERT_TRUE(r.ok) << r.out;
  EXPECT_EQ(r.header.chunk_offsets.size(), 2u) << "took the later stco";

  // First track with stco, then a later "co64".
  Bytes file2 = testmov::build_movie(small_movie(2));
  const Bytes tail2 = {0, 0, 0, 24, 'c', 'o', '6', '4', 0, 0, 0, 0, 0, 0, 0, 1,
                       0, 0, 0, 0, 0, 0, 0, 9};
  file2.insert(file2.end(), tail2.begin(), tail2.end());
  r = walk(file2);
  ASSERT_TRUE(r.ok) << r.out;
  EXPECT_EQ(r.header.chunk_offsets.size(), 2u) << "took the later co64";

  // Only a co64 found before the end: taken, even though an "stco" appears nowhere.
  Bytes file3 = testmov::build_movie(wide);
  r = walk(file3);
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(lines_of(r.out)[11], "Sample offset table found");
}

// ---------------------------------------------------------------------------------------
// The frame index

TEST(FrameIndex, ExamplesAndTableShapes) {
  const uint64_t F = 1000, big = uint64_t{1} << 40;
  std::vector<uint64_t> hundred;
  for (uint64_t i = 0; i < 100; ++i) hundred.push_back(5000 + i * 3 * F);
  const uint64_t P = 100, Q = 90000, R = 20000;
  const uint64_t G = 640 * 480 * 3;
  const uint64_t P32 = 0xFFFFF000ull;   // a 32-bit stco offset near its top
  const uint64_t Q64 = 0x123456789ull;  // a co64 offset
  const struct {
    const char* name;
    std::vector<sample_to_chunk> table;
    std::vector<uint64_t> chunks;
    uint64_t frame_size, file_size;
    std::vector<uint64_t> want;
  } cases[] = {
      {"{1,1} with 100 chunks: one frame per chunk", {{1, 1, 1}}, hundred, F, big, hundred},
      {"{1,4} with chunks P, Q, R", {{1, 4, 1}}, {P, Q, R}, F, big,
       {P, P + F, P + 2 * F, P + 3 * F, Q, Q + F, Q + 2 * F, Q + 3 * F, R, R + F, R + 2 * F, R + 3 * F}},
      {"{1,2}, {3,1} with 4 chunks: 2 + 2 + 1 + 1 frames", {{1, 2, 1}, {3, 1, 1}},
       {0, 10000, 20000, 30000}, F, big, {0, F, 10000, 10000 + F, 20000, 30000}},
      {"offsets beyond 4 GiB", {{1, 3, 1}}, {P32, Q64}, G, uint64_t{1} << 36,
       {P32, P32 + G, P32 + 2 * G, Q64, Q64 + G, Q64 + 2 * G}},
      {"no entries", {}, {100, 200}, 10, 1 << 20, {}},
      {"no chunks", {{1, 3, 1}}, {}, 10, 1 << 20, {}},
      {"zero frames per chunk", {{1, 0, 1}}, {100, 200}, 10, 1 << 20, {}},
      {"first entry's first_chunk is ignored", {{7, 2, 1}}, {100, 200}, 10, 1 << 20,
       {100, 110, 200, 210}},
      {"an entry past the last chunk never applies", {{1, 1, 1}, {9, 5, 1}}, {100, 200}, 10,
       1 << 20, {100, 200}},
      {"entries naming the same chunk take over one chunk apart", {{1, 1, 1}, {2, 2, 1}, {2, 3, 1}},
       {100, 200, 300}, 10, 1 << 20, {100, 200, 210, 300, 310, 320}},
      {"more than 8 frames per chunk", {{1, 10, 1}}, {0}, 10, 1 << 20,
       {0, 10, 20, 30, 40, 50, 60, 70, 80, 90}},
  };
  for (const auto& c : cases) {
    const IndexResult r = build_index(c.table, c.chunks, c.frame_size, c.file_size);
    EXPECT_TRUE(r.ok) << "case=" << c.name;
    EXPECT_EQ(r.out, "") << "case=" << c.name;
    EXPECT_EQ(r.offsets, c.want) << "case=" << c.name;
  }
}

TEST(FrameIndex, TooManyFramesRefused) {
  const std::string file_msg = "The sample tables claim more frames than the file can hold\n";
  const std::string count_msg = "The sample tables claim more frames than can be indexed\n";
  const struct {
    const char* name;
    std::vector<sample_to_chunk> table;
    size_t chunks;
    uint64_t frame_size, file_size;
    bool ok;
    std::string out;
  } cases[] = {
      {"exactly what fits", {{1, 5, 1}}, 2, 10, 100, true, ""},
      {"one frame too many", {{1, 5, 1}}, 2, 10, 99, false, file_msg},
      {"huge count in one chunk", {{1, 0xFFFFFFFFu, 1}}, 1, 3, 1000, false, file_msg},
      {"huge count in many chunks", {{1, 0xFFFFFFFFu, 1}}, 1000, 3, uint64_t{1} << 62, false,
       count_msg},
      {"zero frame size counts as 1 byte", {{1, 4, 1}}, 3, 0, 11, false, file_msg},
      {"zero frame size that fits", {{1, 4, 1}}, 3, 0, 12, true, ""},
      {"empty file", {{1, 1, 1}}, 1, 12, 0, false, file_msg},
  };
  for (const auto& c : cases) {
    const IndexResult r = build_index(c.table, std::vector<uint64_t>(c.chunks, 0), c.frame_size,
                                c.file_size);
    EXPECT_EQ(r.ok, c.ok) << c.name;
    EXPECT_EQ(r.out, c.out) << c.name;
    if (!c.ok) {
      EXPECT_TRUE(r.offsets.empty()) << c.name;
    }
  }
}

TEST(FrameIndex, TotalFramesAdds) {
  reset_index();
  const std::vector<sample_to_chunk> table = {{1, 2, 1}};
  const std::vector<uint64_t> chunks = {0, 100};
  ASSERT_TRUE(calc_frame_offsets(table.data(), 1, chunks.data(), 2, 10, 1000));
  ASSERT_TRUE(calc_frame_offsets(table.data(), 1, chunks.data(), 1, 10, 1000));
  EXPECT_EQ(total_frames, 6);
  const std::vector<uint64_t> want = {0, 10, 100, 110, 0, 10};
  EXPECT_EQ(frame_offsets, want);
  reset_index();
}

// The walk and the index together over a generated movie: every frame's offset points at
// that frame's bytes, whatever the chunk layout and order.
TEST(FrameIndex, GeneratedMoviesRoundTrip) {
  const struct {
    std::vector<uint32_t> per_chunk;
    std::vector<size_t> order;
    bool moov_first, co64;
  } cases[] = {
      {{}, {}, true, false},
      {{4, 4, 3, 1}, {}, true, false},
      {{4, 4, 3, 1}, {3, 2, 1, 0}, false, false},
      {{1, 2, 3, 6}, {2, 0, 3, 1}, true, true},
      {{12}, {}, false, true},
      {{9, 3}, {1, 0}, true, false},
  };
  for (const auto& c : cases) {
    testmov::MovieRecipe recipe;
    recipe.width = 5;
    recipe.height = 3;
    for (uint32_t i = 0; i < 12; ++i) recipe.frames.push_back(testmov::make_frame(5, 3, i, 4));
    recipe.frames_per_chunk = c.per_chunk;
    recipe.chunk_order = c.order;
    recipe.moov_first = c.moov_first;
    recipe.use_co64 = c.co64;
    const Bytes file = testmov::build_movie(recipe);
    const WalkResult w = walk(file);
    ASSERT_TRUE(w.ok) << w.out;
    const IndexResult r =
        build_index(w.header.chunk_map, w.header.chunk_offsets, 5 * 3 * 3, file.size());
    ASSERT_TRUE(r.ok) << r.out;
    ASSERT_EQ(r.offsets.size(), 12u);
    for (size_t i = 0; i < 12; ++i) {
      ASSERT_LE(r.offsets[i] + 45, file.size());
      EXPECT_TRUE(std::equal(recipe.frames[i].begin(), recipe.frames[i].end(),
                             file.begin() + static_cast<long>(r.offsets[i])))
          << "frame " << i << " moov_first=" << c.moov_first << " co64=" << c.co64;
    }
  }
}

// ---------------------------------------------------------------------------------------
// Pixel conversion

TEST(RawToBgr, TwoByTwo) {
  // p q / s t, each pixel red, green, blue.
  const Bytes source = {0x10, 0x11, 0x12, 0x20, 0x21, 0x22,   // p, q
                        0x30, 0x31, 0x32, 0x40, 0x41, 0x42};  // s, t
  const Bytes want = {0x32, 0x31, 0x30, 0x42, 0x41, 0x40,   // s, t as blue, green, red
                      0x12, 0x11, 0x10, 0x22, 0x21, 0x20};  // p, q
  Bytes target(12, 0xEE);
  const Bytes kept = source;
  raw_to_BGR(source.data(), target.data(), 2, 2);
  EXPECT_EQ(target, want);
  EXPECT_EQ(source, kept);
}

// Any width, rows packed: compared with the shared expected_dib, and nothing written past
// the frame. Height 1 only swaps the channels.
TEST(RawToBgr, PackedRowsAnyWidth) {
  // Widths from 12 up take the 16-byte path; the others around them its ends.
  for (int width : {1, 2, 3, 5, 7, 11, 12, 13, 16, 17, 18, 21, 22, 32, 33, 64, 101, 1920}) {
    for (int height : {1, 2, 3, 4}) {
      const Bytes source = testmov::make_frame(width, height, static_cast<uint32_t>(width), 50);
      Bytes target(source.size() + 8, 0xEE);
      raw_to_BGR(source.data(), target.data(), width, height);
      Bytes want = testfiles::expected_dib(source, width, height, true);
      want.resize(target.size(), 0xEE);
      ASSERT_EQ(target, want) << "w=" << width << " h=" << height;
    }
  }
}

TEST(RawToBgr, ZeroOrNegativeSizesWriteNothing) {
  const Bytes source(48, 1);
  const struct {
    int w, h;
  } cases[] = {{0, 4}, {4, 0}, {0, 0}, {-1, 4}, {4, -3}, {-2, -2}};
  for (const auto& c : cases) {
    Bytes target(48, 0xEE);
    raw_to_BGR(source.data(), target.data(), c.w, c.h);
    EXPECT_EQ(target, Bytes(48, 0xEE)) << "w=" << c.w << " h=" << c.h;
  }
}

}  // namespace

// =======================================================================================
// read_movie: the top-level walk finds the movie atom; where it lies beyond the head the
// walk runs over it, and everywhere else over the head exactly as before.
namespace {

// read_movie over a file held in memory (a file_size beyond its bytes reads as zeros, as
// a sparse file does); or, as_before, what the run did before the top-level walk: the
// header walk over the head and the index. Returns the output, outcome and offsets.
std::string read_in_memory(const Bytes& file, uint64_t file_size = 0, bool as_before = false) {
  file_size = std::max<uint64_t>(file_size, file.size());
  const ReadAt read_at = [&](uint64_t off, unsigned char* dst, size_t n) {
    EXPECT_TRUE(off <= file_size && n <= file_size - off) << "read outside the file at " << off;
    for (size_t i = 0; i < n; ++i) dst[i] = off + i < file.size() ? file[off + i] : 0;
    return true;
  };
  bool ok = false;
  MovieHeader h;
  std::string text = testbytes::captured_stdout([&] {
    if (!as_before) {
      ok = read_movie(file_size, read_at, h);
      return;
    }
    ok = read_movie_header(file.data(), file.size(), h) &&
         calc_frame_offsets(h.chunk_map.data(), int(h.chunk_map.size()), h.chunk_offsets.data(),
                            int(h.chunk_offsets.size()), uint64_t(h.width) * h.height * 3, file_size);
    if (ok) std::printf("%d frames indexed\n", total_frames);
  });
  text += ok ? "(ok) at" : "(failed) at";
  for (uint64_t offset : frame_offsets) text += " " + std::to_string(offset);
  reset_index();
  return text;
}

TEST(MovieReader, HeadWalkAsBeforeUnlessTheMovieAtomLiesBeyondIt) {
  const auto atom_at = [](const Bytes& f, const char* code) { return find_code(f, code) - 4; };
  testmov::MovieRecipe last = small_movie();
  last.moov_first = false;
  // A "moov" atom header in the media data of a 90 MiB file, reaching past the head and
  // past 64 MiB: never seen by the top-level walk.
  Bytes stray = testmov::build_movie(last);
  put_be32(stray, atom_at(stray, "mdat") + 8, uint32_t{80} << 20);
  std::memcpy(&stray[atom_at(stray, "mdat") + 12], "moov", 4);
  Bytes renamed = testmov::build_movie(small_movie());  // no top-level "moov" at all
  std::memcpy(&renamed[find_code(renamed, "moov")], "free", 4);
  Bytes cut_first = testmov::build_movie(small_movie());  // damaged, but inside the head
  put_be32(cut_first, atom_at(cut_first, "moov"), 0xFFFFFFF0u);
  const std::pair<const Bytes*, uint64_t> cases[] = {
      {&stray, uint64_t{90} << 20}, {&renamed, 0}, {&cut_first, 0}};
  for (const auto& [file, size] : cases)
    EXPECT_EQ(read_in_memory(*file, size), read_in_memory(*file, size, true));
}

// Top-level atoms that lie beyond the head and are damaged: a clear message, and the run
// stops. A file_size past the bytes built is a sparse file.
TEST(MovieReader, DamagedTruncatedOrOversizedMovieAtom) {
  testmov::MovieRecipe recipe = small_movie(2);
  recipe.moov_first = false;
  recipe.mdat_padding = kHeaderWindowBytes;
  const Bytes good = testmov::build_movie(recipe);
  const size_t moov = 20 + 8 + kHeaderWindowBytes + 2 * 24;  // ftyp, mdat, padding, frames
  const uint32_t big = (64u << 20) + 1;
  const std::string damaged = "The \"moov\" atom is truncated or damaged\n(failed) at";
  const struct { size_t at; uint32_t size; uint64_t file_size; std::string out; } cases[] = {
      {moov, uint32_t(good.size() - moov + 1), 0, damaged},  // one byte past the file's end
      {moov, 7, 0, damaged},
      {moov, big, moov + big, "The \"moov\" atom is 67108865 bytes long, more than the "
                              "67108864 bytes (64 MiB) that are read\n(failed) at"},
      {20, 3, 0, "Unable to find tag \"mvhd\"\n(failed) at"}};  // a damaged mdat before it
  for (const auto& c : cases) {
    Bytes bytes = good;
    put_be32(bytes, c.at, c.size);
    EXPECT_EQ(read_in_memory(bytes, c.file_size), c.out) << "size " << c.size;
  }
}

}  // namespace

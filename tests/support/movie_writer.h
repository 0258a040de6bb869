// tests/support/movie_writer.h: builds small QuickTime movies for the tests.
//
// The movies carry the atoms the header walk reads (moov > mvhd, trak > tkhd, mdia >
// mdhd, minf > stbl > stsd, stts, stsc, stco or co64), for any geometry, sample format,
// time scale, sample-to-chunk layout and chunk order, with the movie atom before or after
// the media data, and sound tracks after the video track. All fields are written big-endian.
#ifndef TESTS_SUPPORT_MOVIE_WRITER_H_
#define TESTS_SUPPORT_MOVIE_WRITER_H_

#include <cstdint>
#include <string>
#include <vector>

namespace testmov {

// A sound track: its sample description given as bytes, its chunks of samples (one sample
// of the tables is one frame of block_align bytes), stsz giving every sample 1 byte.
struct SoundRecipe {
  std::vector<uint8_t> description;  // the whole stsd entry, size field included
  int32_t time_scale = 48000;
  uint32_t block_align = 4;
  std::vector<std::vector<uint8_t>> chunks;  // in play order
  // Chunk k follows the k-th video chunk in the file (the rest follow the frames), or all
  // of them follow the frames.
  bool after_frames = false;
  uint32_t samples_per_chunk = 0;  // claimed in stsc when not 0
  uint32_t sample_size = 1;        // 0 writes a size table of zeros
  uint64_t offset_shift = 0;       // added to every chunk offset
};

struct MovieRecipe {
  int width = 4;
  int height = 2;
  double width_fraction = 0;    // added as the 16.16 fraction of the track width
  std::string format = "raw ";  // the first sample description's data format (4 bytes)
  int32_t time_scale = 600;
  std::vector<int32_t> durations = {20};  // stts entries, one frame each but the last
  // Frames in play order, each width x height x 3 bytes as stored in the movie.
  std::vector<std::vector<uint8_t>> frames;
  // Frames per chunk, in chunk order; empty means one frame per chunk. The frames must
  // add up to frames.size(). The stsc table is built with one entry per change.
  std::vector<uint32_t> frames_per_chunk;
  // Physical order of the chunks in the media data (a permutation); empty = in order.
  std::vector<size_t> chunk_order;
  bool moov_first = true;     // the movie atom before the media data
  bool use_co64 = false;      // 64-bit chunk offsets
  uint32_t stsd_entries = 1;  // the description count printed by the walk
  uint64_t mdat_padding = 0;  // zero bytes before the first chunk inside mdat
  bool mdat_size64 = false;   // the 64-bit size form for mdat even when 32 bits would do
  std::vector<SoundRecipe> sounds;
};

// The whole movie file.
std::vector<uint8_t> build_movie(const MovieRecipe& recipe);
// A sound track's "trak" atom, track ID id, with its chunks at the offsets given.
std::vector<uint8_t> sound_trak(const SoundRecipe& sound, uint32_t id,
                                const std::vector<uint64_t>& offsets);
// Writes the movie to path; false on failure.
bool write_movie(const std::string& path, const MovieRecipe& recipe);

// Deterministic test frames of width x height x 3 bytes: a smooth gradient with noise
// `noise` (0 = none), seeded.
std::vector<uint8_t> make_frame(int width, int height, uint32_t seed, int noise);

}  // namespace testmov

#endif  // TESTS_SUPPORT_MOVIE_WRITER_H_

// mov/mov.h: reading a QuickTime movie whose video is stored uncompressed.
//
// Read me first. read_movie walks the top-level atoms from the file's start. The first
// whole top-level movie atom ("moov"), wherever it lies, is read (up to 64 MiB) and parsed
// as a tree: every track (MovieTrack: handler, track_ID, header, media time scale, first
// sample description, sample tables, and the runs of samples its tables and the movie
// fragments give), whatever its media. The first track whose handler is "vide" is
// converted; the lines the walk prints are that track's. A "moov" inside another atom
// (free, skip, wide, mdat) is never read. Movie fragments ("moof") after the movie atom
// add runs of samples to the tracks they name, in file order.
//
// Only when the top-level atoms give no whole movie atom (none, or a damaged atom before
// it) does the old header walk run over the head of the file (its first
// kHeaderWindowBytes): it finds the atoms it needs by searching for their type codes one
// after another, each search going on from the previous match, so a code can match inside
// another atom's data, and it reads the first track. Chunk offsets are absolute file
// offsets either way.
//
// Frames: the sample-size table gives the frame size. width * height * 3 bytes are
// packed rows; height * S bytes with S > width * 3 are rows padded to a stride of S
// bytes. Any other size, differing sizes, or a depth other than 24 is refused.
//
// Every field of the movie is big-endian. The file is untrusted: every atom size is
// checked against its parent and the file, every field and table is checked to lie
// wholly inside its atom before it is read, a table that claims more frames than the
// file can hold is refused, and the top-level atoms walked are capped. Each function
// prints its own messages on standard output and returns false when the run must stop.
// Bad input gives one of:
//   Unable to find tag "<code>"                  an atom the video track needs is missing
//   The movie has no video track; there is nothing to convert.
//   The movie's frames are <w> x <h> pixels; there is nothing to convert.
//   Unsupported data format, please select ...   the first description is not raw/WRLE
//   The video frames are <d>-bit "<format>" pixels; only 24-bit pixels can be converted.
//   The video frames are <n> bytes, which is not <h> rows of at least <r> bytes ...
//   The video frames differ in size (<n> and <m> bytes); every frame must be the same size.
//   The "<code>" atom is truncated or damaged    an atom or table runs past its parent or
//                                                the walked bytes, or the movie atom runs
//                                                past the end of the file
//   The "moov" atom is <n> bytes long, more than the 67108864 bytes (64 MiB) that are read
//   Unable to read the "moov" atom from the input file        (a failed read)
//   The sample tables claim more frames than the file can hold
//   The sample tables claim more frames than can be indexed   (more than 2^31 - 1)
// A damaged movie fragment does not stop the reading: the frames indexed before it stay,
// read_movie prints "The movie fragment at byte <n> is truncated or damaged; ..." after
// the frame count and sets MovieHeader::fragments_damaged, and the run must then fail
// with the frames before it converted. Absurd values that do fit (zero counts, a zero
// duration) are taken as they are.
//
// Ownership: the caller owns the window; MovieHeader owns copies of the tables, so the
// window can be released once the walk is done. read_movie holds the head, the movie
// atom or one movie fragment in memory only while it walks them.
#ifndef MOV_MOV_H_
#define MOV_MOV_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "common/common.h"

constexpr size_t kHeaderWindowBytes = 9240576;  // 0x8D0000
// A movie atom, or a movie fragment, is read into memory whole: up to this many bytes.
constexpr uint64_t kMaxMovieAtomBytes = uint64_t{64} << 20;

// Searches the four bytes of tag from position on (one-byte steps, any alignment). On a
// match moves position there, reduces remaining by the distance and returns true; else
// prints "Unable to find tag ..." and leaves both untouched.
[[nodiscard]] bool findtag(const unsigned char*& position, const char* tag, int& remaining);

// The upper 16 bits of a 32-bit big-endian field's value (the integer part of 16.16).
unsigned long from_mov_edian_s(unsigned long value);
// Turns count 32-bit big-endian words at words, in place, into native integers.
void from_mov_edian_l_block(void* words, int count);

struct sample_to_chunk {
  uint32_t first_chunk;
  uint32_t samples_per_chunk;
  uint32_t sample_description_id;
};

// One entry of a time-to-sample table ("stts").
struct TimeToSample {
  uint32_t count;
  uint32_t duration;
};

// A track's defaults for its movie fragments, from "mvex"/"trex".
struct TrackDefaults {
  uint32_t description_index = 0;
  uint32_t duration = 0;
  uint32_t size = 0;
  uint32_t flags = 0;
};

// A run of samples of one track that lie back to back in the file: a chunk of the
// movie atom's tables, or the samples of one "trun" of a movie fragment.
struct MediaChunk {
  uint64_t offset = 0;        // absolute file offset of its first byte
  uint64_t first_sample = 0;  // index of its first sample in the track's sample order
  uint32_t samples = 0;
  // Each sample's size: sample_size, or, when listed, the track's sample_sizes from
  // sizes_at on (see MovieTrack::size_in).
  uint32_t sample_size = 0;
  bool listed = false;
  uint64_t sizes_at = 0;
};

// Every track of the movie atom, as its atoms describe it, whatever its media. Fields
// are native numbers; a table whose atom is missing is empty and its has_ flag false.
struct MovieTrack {
  uint32_t track_id = 0;          // "tkhd"
  unsigned char handler[4] = {};  // "hdlr" component subtype: "vide", "soun", ...
  uint32_t width = 0;             // "tkhd" 16.16 fields as stored
  uint32_t height = 0;
  int32_t time_scale = 0;                  // "mdhd"
  uint32_t description_count = 0;          // "stsd"
  std::vector<unsigned char> description;  // the first "stsd" entry, size field included
  std::vector<TimeToSample> time_to_sample;
  std::vector<sample_to_chunk> chunk_map;
  uint32_t sample_size = 0;  // "stsz": one size for all samples, or 0
  // The "stsz" table when sample_size is 0, then the sizes fragments list one by one.
  std::vector<uint32_t> sample_sizes;
  uint32_t sample_count = 0;            // "stsz"
  std::vector<uint64_t> chunk_offsets;  // "stco" or "co64"
  bool has_tkhd = false, has_mdhd = false, has_hdlr = false, has_stsd = false, has_stts = false,
       has_stsc = false, has_stsz = false, has_chunk_offsets = false;
  bool wide_offsets = false;  // the chunk offsets came from "co64"
  bool stsz_damaged = false;  // its sizes table runs past its atom
  bool has_defaults = false;  // "trex"
  TrackDefaults defaults;
  // The runs of samples in play order: the chunks of the tables (see track_chunks),
  // then those of the movie fragments in file order (see read_movie).
  std::vector<MediaChunk> chunks;
  uint64_t fragment_samples = 0;  // samples listed by fragments
  uint32_t first_fragment_duration = 0;

  bool is(const char* handler_type) const;
  // The size of sample j of chunk c; 0 for a sample the size table does not reach.
  uint32_t size_in(const MediaChunk& c, uint32_t j) const;
};

struct MovieHeader {
  int width = 0;
  int height = 0;
  int32_t time_scale = 0;
  int32_t sample_duration = 0;
  int raw = 0;                             // 1 for "raw ", 0 for "WRLE"
  std::vector<sample_to_chunk> chunk_map;  // the sample-to-chunk table, native order
  std::vector<uint64_t> chunk_offsets;     // from "stco" (or "co64"), native order
  // Bytes of one frame in the movie and the distance between the starts of its rows:
  // width * 3 for packed rows, more for padded ones. The AVI's rows are always packed.
  uint64_t frame_bytes = 0;
  uint64_t row_stride = 0;
  // Every track of a movie read through its movie atom (empty after the head walk), the
  // index of the video track converted, and where a damaged fragment stopped the index
  // (the frames before it are indexed; the run must not report success).
  std::vector<MovieTrack> tracks;
  int video_track = -1;
  bool fragments_damaged = false;
};

// The chunk list of a track's own tables (stsc over stco/co64): one MediaChunk per
// chunk, the first entry taken to start at chunk 1 as calc_frame_offsets does. Replaces
// track.chunks. The list holds one entry per chunk, so its size is bounded by the table.
void track_chunks(MovieTrack& track);

// The header walk over the window: prints every message of the walk (the tags found,
// width, height, data format, frame rate, both table counts) and fills header. False
// when the run must stop; the message has been printed. Bytes past kHeaderWindowBytes
// are never looked at, even when window_len is larger. The chunk offsets come from
// "stco" or, for large movies, "co64": whichever comes first after the "stsc" match.
[[nodiscard]] bool read_movie_header(const unsigned char* window, size_t window_len,
                                     MovieHeader& header);

// Absolute file offset of every frame in play order, and their count.
extern std::vector<uint64_t> frame_offsets;
extern int total_frames;

// Fills frame_offsets and total_frames from the tables: every frame of every chunk, at
// the chunk's offset plus j * frame_size (64-bit). Appends to what is there (meant to be
// called once). False (message printed, nothing stored) when the tables claim more
// frames than a file of file_size bytes can hold or more than 2^31 - 1 in all.
[[nodiscard]] bool calc_frame_offsets(const sample_to_chunk* table, int entries,
                                      const uint64_t* chunk_offsets, int chunks,
                                      uint64_t frame_size, uint64_t file_size);

// The whole reading of a movie file of file_size bytes (see "Read me first"): the
// top-level walk; the movie atom's tree, its fragments and the video track's lines (the
// same lines as read_movie_header), or the header walk over the head; the frame size and
// row stride; calc_frame_offsets over the video track's tables and then its fragment
// runs with that frame size; and the line "%d frames indexed". Replaces frame_offsets
// and total_frames. False when the run must stop; the message has been printed.
[[nodiscard]] bool read_movie(uint64_t file_size, const ReadAt& read_at, MovieHeader& header);

// "raw " frame (RGB, top row first) to DIB rows (BGR, bottom row first); packed rows.
// Reads and writes width * height * 3 bytes; the areas must not overlap. Writes nothing
// when width or height is 0 or less.
void raw_to_BGR(const unsigned char* source, unsigned char* target, int width, int height);
// The same from source rows source_stride bytes apart (source_stride >= width * 3); the
// bytes between rows are skipped and the target's rows stay packed.
void raw_to_BGR(const unsigned char* source, size_t source_stride, unsigned char* target, int width,
                int height);
// Moves rows stride bytes apart, in place, to rows row_bytes apart (stride >= row_bytes):
// a frame of padded rows becomes a packed one of rows * row_bytes bytes.
void pack_rows(unsigned char* frame, size_t row_bytes, size_t stride, int rows);

// The sound of a track whose media handler is "soun": its first sample description read
// as uncompressed samples that an AVI audio stream can carry.
enum class SoundCoding { kInteger, kFloat, kALaw, kMuLaw };

struct SoundFormat {
  unsigned char code[4] = {};  // the data format, as it stands in the file
  uint32_t rate = 0;           // samples a second
  uint32_t channels = 0;       // 1 to 64
  uint32_t bits = 0;           // of one sample: 8, 16, 24 or 32; 32 or 64 for floats
  SoundCoding coding = SoundCoding::kInteger;
  bool big_endian = false;   // multi-byte samples stored most significant byte first
  bool signed8 = false;      // 8-bit samples stored signed (WAVE's are unsigned)
  uint32_t block_align = 0;  // bytes of one frame (a sample of every channel), in both forms
};

// Reads the sample description at entry (len bytes from its size field; untrusted).
// True when its samples are uncompressed and can be carried: twos, sowt, raw , in24, in32,
// fl32, fl64, lpcm, ulaw, alaw, in versions 0, 1 and 2. Otherwise false with why set to
// the reason as a phrase ("is compressed sound", "has 300 channels (1 to 64 are
// carried)"). A version 0 or 1 rate with a fraction gives way to time_scale.
[[nodiscard]] bool read_sound_description(const uint8_t* entry, size_t len, uint32_t time_scale,
                                          SoundFormat& format, std::string& why);
// Turns `frames` frames of samples in the movie's form into WAVE's, in place: multi-byte
// samples little-endian, 8-bit samples unsigned.
void sound_to_wave(const SoundFormat& format, uint8_t* data, size_t frames);
// "48000 Hz, 2 channels, 16-bit integer ("twos")".
std::string describe_sound(const SoundFormat& format);

// Where a carried sound track's frames lie: runs of frames back to back in the file.
struct SoundSpan {
  uint64_t offset = 0;
  uint64_t frames = 0;
};

// A sound track that goes into the AVI file.
struct SoundTrack {
  int number = 0;  // its place among the movie's tracks, counted from 1
  SoundFormat format;
  std::vector<SoundSpan> spans;  // in play order
  uint64_t frames = 0;           // all of them: no more than the file's bytes hold
};

// The sound tracks of a movie read through its movie atom, in track order. Prints, for
// each track whose handler is "soun", "Sound track N: <describe_sound>" when it is
// carried, else "Sound track N ("code") <why>; it is left out of the AVI file." and
// returns the carried ones. A movie read through the head walk has none.
std::vector<SoundTrack> find_sound_tracks(const MovieHeader& header, uint64_t file_size);

// Reads a carried track's frames in play order, in WAVE's form.
class SoundReader {
 public:
  SoundReader(const SoundTrack& track, ReadAt read_at);
  // The next `frames` frames into dst (frames * block_align bytes). False when they
  // cannot be read (they lie past the end of the file, say); dst is then unspecified.
  [[nodiscard]] bool read(uint8_t* dst, uint64_t frames);
  // Frames read so far.
  uint64_t position() const { return position_; }

 private:
  const SoundTrack& track_;
  ReadAt read_at_;
  size_t span_ = 0;
  uint64_t in_span_ = 0;
  uint64_t position_ = 0;
};

// The messages of the functions above go to standard output. While a capture lives they
// are appended to its text instead, for a caller that shows them only when reading fails.
class MovieMessageCapture {
 public:
  explicit MovieMessageCapture(std::string& text);
  ~MovieMessageCapture();
  MovieMessageCapture(const MovieMessageCapture&) = delete;
  MovieMessageCapture& operator=(const MovieMessageCapture&) = delete;

 private:
  std::string* previous_;
};

#endif  // MOV_MOV_H_

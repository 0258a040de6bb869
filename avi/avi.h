// avi/avi.h: writing (and reading back) AVI files with one video stream and any number of
// uncompressed sound streams.
//
// Read me first. Every number in an AVI file is little-endian; four-character codes are
// their four ASCII bytes in reading order. A file starts with an 8,204-byte header image
// unpacked from the packed template compact_empty; frame chunks ("00dc") follow from
// 0x200C; finishing appends the "idx1" index and a closing pad to a multiple of 1,024
// bytes and rewrites the header with the final counts.
//
// Files whose data would pass the writer's RIFF limit (1 GiB by default) are written in
// the OpenDML layout: further 'AVIX' RIFF lists, an 'ix00' standard index at the end of
// every 'movi' list and the 'indx' super index in the chunk reserved for it.
// A file that stays within the limit is the plain layout, byte for byte. No RIFF list,
// its 8-byte head included, ever holds more than riff_limit bytes. The first list takes
// frames while both of its possible endings still fit: the plain one (idx1 and the
// closing pad) and the OpenDML one (ix00 and idx1). When the next frame would break
// that, the first list is closed with its ix00 and its idx1 (which covers its frames
// only; avih dwTotalFrames counts them) and without the closing pad; each later frame
// goes into the current 'AVIX' list, or into a new one when the chunk and the grown
// ix00 would pass the limit. An OpenDML file ends with the last 'AVIX' list, unpadded.
// Every chunk and list is a multiple of 4 bytes long, so every list starts 4-aligned.
// qwBaseOffset of an ix00 is the offset of its 'movi' list's "LIST" id, and dwOffset
// counts from there to the chunk's data. 'dmlh' and strh dwLength count all frames.
// The super index has 256 entries, so a file holds at most 256 RIFF lists.
//
// Sound. Each stream added with add_audio_stream before init gets a stream list after the
// video's ('strh' "auds", 'strf' a WAVEFORMATEX, and a reserved chunk of the video's size
// for its 'indx'), so the header image grows by those lists rounded up to 4,096 bytes, taken
// up by the closing 'JUNK' chunk. A file without sound streams keeps the 8,204-byte header.
// Sound chunks ("01wb", "02wb", ...) are padded to an even length as RIFF pads, not to 4;
// idx1 holds their exact sizes with flag 0x10. In an OpenDML file each RIFF list ends with
// one standard index per stream that has chunks in it ("ix00", "ix01", ...), and the
// stream's 'indx' lists them; its dwDuration counts frames for video, blocks for sound.
//
// Ownership: AviWriter owns its header image and index; write_frame writes straight from
// the caller's buffer, which must have 3 writable bytes after the frame (the pad bytes
// are zeroed there). Failures print their own message on standard output, naming the
// output file, and are returned as results; nothing is reported as success that was not
// written.
//
// read_avi reads untrusted files: every size, offset and index entry is checked against
// the file before it is used.
#ifndef AVI_AVI_H_
#define AVI_AVI_H_

#include <cstddef>
#include <cstdint>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "common/common.h"

constexpr int kAviHeaderBytes = 8204;
constexpr uint64_t kDefaultRiffLimit = uint64_t{1} << 30;

extern const unsigned char compact_empty[191];

// The value in its little-endian file form (a native store lays it down LSB first).
unsigned long to_avi_edian_l(unsigned long value);

// An uncompressed sound stream as WAVE stores it: little-endian samples, 8-bit unsigned,
// channels interleaved. The writer writes WAVE_FORMAT_EXTENSIBLE (cbSize 22, valid bits,
// channel mask, SubFormat GUID of format_tag) for more than 2 channels, more than 16 bits
// or float, else a plain WAVEFORMATEX (cbSize 0).
struct AviAudioFormat {
  uint16_t format_tag = 1;  // 1 PCM, 3 IEEE float, 6 A-law, 7 mu-law
  uint16_t channels = 0;
  uint32_t sample_rate = 0;
  uint16_t bits_per_sample = 0;
  uint16_t block_align = 0;  // bytes of one sample of every channel
};

// Result of AviWriter::write_frame and AviWriter::write_audio.
enum class FrameWrite {
  kWritten,  // the chunk and its index entry are in the file
  kFull,     // not written: the file cannot hold it (message printed); flush() still
             // finishes a valid file with the frames before it
  kError,    // a write error (message printed); the output is damaged
};

class AviWriter {
 public:
  AviWriter();
  ~AviWriter();
  AviWriter(const AviWriter&) = delete;
  AviWriter& operator=(const AviWriter&) = delete;

  std::unique_ptr<uint8_t[]> header;  // the header image, kAviHeaderBytes
  int32_t num_frames = 0;             // frames written, in all RIFF lists
  // The idx1 entries, 16 bytes each, of the frames in the first RIFF list. Its size is
  // index_capacity x 16; the capacity steps by 512 entries, the storage grows
  // geometrically underneath.
  std::vector<uint8_t> index;
  int32_t index_capacity = 0;
  std::ofstream out;
  int32_t max_chunk_size = 0;
  const char* filename = nullptr;  // the writer's own copy of the name given to init

  // Where the data would pass this many bytes, the writer moves on to the next RIFF list.
  // Set before init; tests lower it to build multi-list files of a few megabytes.
  uint64_t riff_limit = kDefaultRiffLimit;

  // 1 when the file is created and the header image written; 0 when it cannot be opened
  // or written ("Unable to open output file %s\n" printed).
  [[nodiscard]] int init(const char* filename, int width, int height, int rate, int scale,
                         int compressed);
  // Before init: adds a sound stream; returns its stream number (1, 2, ...: its chunks are
  // "01wb", ...), or -1 when the format cannot be described (no channels, rate or block
  // alignment, nAvgBytesPerSec past 32 bits, more than 99 sound streams) or init has run.
  // Prints nothing.
  int add_audio_stream(const AviAudioFormat& format);
  // Appends one "00dc" chunk from data[0, size); zeroes data[size, size + 3). Once it
  // has returned kFull or kError, every later call (of either kind) returns the same
  // without writing.
  [[nodiscard]] FrameWrite write_frame(unsigned char* data, int size, int flags);
  // Appends one "NNwb" chunk of the sound stream `stream` (from add_audio_stream) from
  // data[0, size), whole blocks: size is a multiple of the block alignment (a caller's
  // mistake there, or an unknown stream, asserts, or without asserts gives kError and
  // writes nothing). strh dwLength counts blocks, dwSuggestedBufferSize the largest chunk.
  [[nodiscard]] FrameWrite write_audio(int stream, const unsigned char* data, uint32_t size);
  // Writes the indexes and the pad, rewrites the header; 1 when the file is complete and
  // closed, 0 on any write, close or reopen failure (message printed).
  [[nodiscard]] int flush();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// One video frame chunk found by read_avi.
struct AviFrame {
  uint64_t offset = 0;  // file offset of the chunk's data (after its 8-byte header)
  uint32_t size = 0;    // bytes of data
  uint32_t flags = 0;   // index flags (0x10 key frame)
  // Null when the chunk was found whole. Otherwise why this frame cannot be read (a static
  // string such as "the file ends inside its chunk"); offset and size are then not usable.
  const char* damage = nullptr;
};

// A sound stream found by read_avi.
struct AviAudio {
  int stream = 0;  // its number in the file: its chunks are "NNwb"
  // From 'strf'; WAVE_FORMAT_EXTENSIBLE is given as the format tag of its SubFormat.
  AviAudioFormat format;
  bool extensible = false;
  uint32_t length = 0;  // strh dwLength: the blocks the headers declare
  // The stream's chunks in file order (flags 0x10). When the whole chunks found hold fewer
  // blocks than declared, one damaged entry stands for the first missing chunk.
  std::vector<AviFrame> chunks;
};

// What read_avi found in a file with one video stream.
struct AviInfo {
  int width = 0;
  int height = 0;  // as stored; positive means bottom-up rows
  int bit_count = 0;
  uint32_t compression = 0;  // biCompression as its four bytes read little-endian; 0 = DIB
  uint32_t rate = 0;         // strh dwRate
  uint32_t scale = 0;        // strh dwScale
  uint32_t length = 0;       // strh dwLength: the frames the headers declare
  // In file order. When fewer chunks are found than declared, one damaged entry stands for
  // the first missing frame.
  std::vector<AviFrame> frames;
  std::vector<AviAudio> audio;  // the 'auds' streams, in stream order
};

// Reads the RIFF structure of an untrusted file: the header lists, the 'movi' lists (of
// 'AVI ' and of every 'AVIX'), the OpenDML indexes or "idx1" when present, otherwise a
// walk of the 'movi' lists; the same for each sound stream. Every chunk's extent is checked
// to lie inside the file.
// False with error set to a clear message when the file is damaged or not supported as a
// whole; a damaged frame is listed with AviFrame::damage set, so that it can be named.
[[nodiscard]] bool read_avi(uint64_t file_size, const ReadAt& read_at, AviInfo& info,
                            std::string& error);

// The header lists alone ('avih', 'strh', 'strf'): fills every field of info but frames,
// reading a few kilobytes at the head of the file and never an index or a frame. The
// same checks and messages as read_avi, less those that need the 'movi' list.
[[nodiscard]] bool read_avi_headers(uint64_t file_size, const ReadAt& read_at, AviInfo& info,
                                    std::string& error);

#endif  // AVI_AVI_H_

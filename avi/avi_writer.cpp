// avi/avi_writer.cpp: AviWriter, the header template and the AVI byte-order helper.
//
// Read me first. The file is the 8,204-byte header image, the "00dc" frame chunks from
// 0x200C, then the "idx1" index and a closing pad to a multiple of 1,024 bytes; at the
// end the counts and sizes are patched into the header image in memory and its first
// 8,200 bytes are written over the start of the file. Positions are tracked here as
// 64-bit numbers (pos), so nothing depends on the stream's position type.
//
// When the next chunk would make a RIFF list pass riff_limit, the file moves on to the
// OpenDML layout described in avi/avi.h. The per-list bookkeeping lives in Impl, the
// per-stream bookkeeping (video first, then the sound streams) in StreamState. With sound
// streams the offsets after the video's stream list move on by their lists (shift), and
// those from the closing 'JUNK' chunk's end by the header's growth (grow).
#include <algorithm>
#include <cassert>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>

#include "avi/avi.h"
#include "avi/riff.h"
#include "zero/zero.h"

// The header template, zero-run coded at level 1: the header image with every field at
// its template value (credit, geometry, timing, format and counts all zero).
const unsigned char compact_empty[191] = {
    0x52, 0x49, 0x46, 0x46, 0x00, 0xFE, 0x41, 0x56, 0x49, 0x20, 0x4C, 0x49, 0x53, 0x54, 0xEC, 0x11,
    0x00, 0xFF, 0x68, 0x64, 0x72, 0x6C, 0x61, 0x76, 0x69, 0x68, 0x38, 0x00, 0x07, 0x10, 0x00, 0x05,
    0x01, 0x00, 0x0F, 0x4C, 0x49, 0x53, 0x54, 0x94, 0x10, 0x00, 0xFF, 0x73, 0x74, 0x72, 0x6C, 0x73,
    0x74, 0x72, 0x68, 0x38, 0x00, 0x01, 0x76, 0x69, 0x64, 0x73, 0x00, 0xEE, 0x10, 0x27, 0x00, 0xFB,
    0x60, 0x01, 0xF0, 0x00, 0x00, 0x73, 0x74, 0x72, 0x66, 0x28, 0x00, 0x01, 0x28, 0x00, 0x05, 0x01,
    0x00, 0x00, 0x18, 0x00, 0x0C, 0x4A, 0x55, 0x4E, 0x4B, 0x18, 0x10, 0x00, 0x80, 0x00, 0x80, 0x00,
    0x80, 0x00, 0x80, 0x00, 0x80, 0x00, 0x80, 0x00, 0x80, 0x00, 0x80, 0x00, 0x80, 0x00, 0x80, 0x00,
    0x80, 0x00, 0x80, 0x00, 0x80, 0x00, 0x80, 0x00, 0x80, 0x00, 0x80, 0x00, 0xF3, 0x4C, 0x49, 0x53,
    0x54, 0x04, 0x01, 0x00, 0xFF, 0x6F, 0x64, 0x6D, 0x6C, 0x64, 0x6D, 0x6C, 0x68, 0xF8, 0x00, 0x01,
    0x01, 0x00, 0x7B, 0x4A, 0x55, 0x4E, 0x4B, 0xF8, 0x0D, 0x00, 0x80, 0x00, 0x80, 0x00, 0x80, 0x00,
    0x80, 0x00, 0x80, 0x00, 0x80, 0x00, 0x80, 0x00, 0x80, 0x00, 0x80, 0x00, 0x80, 0x00, 0x80, 0x00,
    0x80, 0x00, 0x80, 0x00, 0x83, 0x4C, 0x49, 0x53, 0x54, 0x00, 0xFE, 0x6D, 0x6F, 0x76, 0x69,
};

namespace {

constexpr char kCredit[] = "Written by zoduviv, the QuickTime to Vozodiva AVI converter";

// Header image offsets.
constexpr size_t kRiffSize = 0x0004;
constexpr size_t kHdrlSize = 0x0010;
constexpr size_t kAvihStreams = 0x0038;
constexpr size_t kAvihMicroSecPerFrame = 0x0020;
constexpr size_t kAvihTotalFrames = 0x0030;
constexpr size_t kAvihSuggestedBufferSize = 0x003C;
constexpr size_t kAvihWidth = 0x0040;
constexpr size_t kAvihHeight = 0x0044;
constexpr size_t kStrhHandler = 0x0070;
constexpr size_t kStrhScale = 0x0080;
constexpr size_t kStrhRate = 0x0084;
constexpr size_t kStrhStart = 0x0088;
constexpr size_t kStrhLength = 0x008C;
constexpr size_t kStrhSuggestedBufferSize = 0x0090;
constexpr size_t kBiWidth = 0x00B0;
constexpr size_t kBiHeight = 0x00B4;
constexpr size_t kBiCompression = 0x00BC;
constexpr size_t kBiSizeImage = 0x00C0;
constexpr size_t kReservedChunk = 0x00D4;  // "JUNK", or "indx" in an OpenDML file
// These lie after the sound streams' lists, which are inserted at kOdmlList.
constexpr size_t kOdmlList = 0x10F4;
constexpr size_t kDmlhTotalFrames = 0x1108;
constexpr size_t kClosingJunk = 0x1200;
constexpr size_t kCreditOffset = 0x1208;
constexpr size_t kMoviList = 0x2000;

// The reserved chunk's data: the super index's fields and 256 entries.
constexpr uint32_t kReservedBytes = 4120;
// A sound stream's list: "LIST" size "strl", 'strh', 'strf' of 18 or 40 bytes, the
// reserved chunk.
constexpr size_t kStrhBytes = 8 + 56;
constexpr size_t kAudioStrhScale = 12 + 8 + 20;  // offsets from the start of its list
constexpr size_t kAudioStrhLength = 12 + 8 + 32;
constexpr size_t kAudioStrhSuggestedBufferSize = 12 + 8 + 36;
// Sound stream lists grow the header image in steps of this many bytes.
constexpr size_t kHeaderGrowth = 4096;
constexpr int kMaxAudioStreams = 99;  // stream ids are two decimal digits

constexpr int32_t kIndexGrowth = 512;  // idx1 entries per growth step
constexpr size_t kIdx1EntryBytes = 16;
constexpr size_t kIx00EntryBytes = 8;
constexpr uint64_t kIx00HeadBytes = 32;  // id, cb and 24 bytes of fields
constexpr uint64_t kAvixHeadBytes = 24;  // "RIFF" size "AVIX" "LIST" size "movi"
constexpr int kSuperIndexEntries = 256;  // what the reserved 4,120 bytes hold
constexpr uint32_t kQualityDefault = 0xFFFFFFFFu;
constexpr uint32_t kNotKeyFrameBit = 0x80000000u;

// The closing pad: after "JUNK" at Q, zero bytes up to the next multiple of 1,024, 1 to
// 1,024 of them (a Q already on a multiple gets a whole 1,024).
uint64_t closing_pad_end(uint64_t q) { return (q + 1024) & ~uint64_t{1023}; }

uint64_t ix00_bytes(uint64_t entries) { return kIx00HeadBytes + kIx00EntryBytes * entries; }

// 1e6 x scale / rate truncated toward zero, or 0 where that is no 32-bit count of
// microseconds (rate 0, a negative period, a period of 4,295 seconds or more).
uint32_t micro_sec_per_frame(int rate, int scale) {
  if (rate == 0) return 0;
  const double period = 1000000.0 * static_cast<double>(scale) / static_cast<double>(rate);
  if (!std::isfinite(period) || period < 0.0 || period >= 4294967296.0) return 0;
  return static_cast<uint32_t>(period);
}

// The WAVEFORMATEX of a sound stream at out (room for 40 bytes); returns its length, 18
// or 40 (WAVE_FORMAT_EXTENSIBLE).
size_t store_wave_format(uint8_t* out, const AviAudioFormat& f) {
  const bool extensible = f.channels > 2 || f.bits_per_sample > 16 || f.format_tag == 3;
  riff::store_le16(out, extensible ? 0xFFFE : f.format_tag);
  riff::store_le16(out + 2, f.channels);
  riff::store_le32(out + 4, f.sample_rate);
  riff::store_le32(out + 8, f.sample_rate * uint32_t{f.block_align});
  riff::store_le16(out + 12, f.block_align);
  riff::store_le16(out + 14, f.bits_per_sample);
  riff::store_le16(out + 16, extensible ? 22 : 0);
  if (!extensible) return 18;
  riff::store_le16(out + 18, f.bits_per_sample);  // wValidBitsPerSample
  // Speaker positions: mono is front centre, stereo front left and right; a movie's sound
  // track does not tell them for more channels, and 0 says so.
  riff::store_le32(out + 20, f.channels == 1 ? 0x4 : f.channels == 2 ? 0x3 : 0);
  // SubFormat: the format tag in the base GUID xxxxxxxx-0000-0010-8000-00aa00389b71.
  static const uint8_t kGuidTail[12] = {0x00, 0x00, 0x10, 0x00, 0x80, 0x00,
                                        0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};
  riff::store_le32(out + 24, f.format_tag);
  std::memcpy(out + 28, kGuidTail, sizeof(kGuidTail));
  return 40;
}

}  // namespace

unsigned long to_avi_edian_l(unsigned long value) {
  // The value whose native bytes are the little-endian file form.
  uint8_t bytes[4];
  store_le32(bytes, static_cast<uint32_t>(value));
  uint32_t file_form = 0;
  std::memcpy(&file_form, bytes, 4);
  return file_form;
}

// One stream's bookkeeping: stream 0 is the video, then the sound streams.
struct StreamState {
  char chunk_id[4] = {'0', '0', 'd', 'c'};
  size_t strl_at = 0;          // its stream list in the header image (sound only)
  size_t reserved_at = 0;      // its reserved chunk, which becomes its 'indx'
  uint32_t block_align = 0;    // sound only
  uint64_t blocks = 0;         // sound: blocks written, for strh dwLength
  uint32_t largest = 0;        // sound: the largest chunk, for strh dwSuggestedBufferSize
  uint32_t super_entries = 0;  // standard indexes written
  uint64_t list_duration = 0;  // frames or blocks of the current RIFF list
  std::vector<uint8_t> ix;     // the current list's standard index entries, 8 bytes each

  uint64_t list_entries() const { return ix.size() / kIx00EntryBytes; }
};

// Where a chunk goes, or why it cannot.
enum class Room { kFits, kTooLarge, kFull, kError };

struct AviWriter::Impl {
  std::string path;
  std::vector<AviAudioFormat> formats;  // the sound streams, from add_audio_stream
  std::vector<StreamState> streams;     // video, then sound
  size_t header_bytes = kAviHeaderBytes;
  size_t shift = 0;    // bytes of the sound streams' lists: what lies after them moves on by this
  size_t grow = 0;     // bytes the header image grows by: shift rounded up to kHeaderGrowth
  uint64_t limit = 0;  // riff_limit as taken at init, at most 4 GiB - 1
  uint64_t pos = 0;    // the write position of out
  bool odml = false;   // the first RIFF list is closed; chunks go to 'AVIX' lists
  int32_t idx1_entries = 0;  // idx1 entries in use: the chunks of the first RIFF list
  int32_t first_frames = 0;  // the frames of the first RIFF list
  int lists = 1;             // RIFF lists begun, the current one included
  uint64_t list_start = 0;   // offset of the current RIFF list's "RIFF" id
  uint64_t movi_start = 0;   // offset of its 'movi' list's "LIST" id: qwBaseOffset
  bool full = false;
  bool failed = false;

  // Everything before the list type "movi": the part rewritten at finish. idx1 offsets
  // count from that list type.
  uint64_t idx1_base() const { return header_bytes - 4; }

  void build_header(AviWriter& a);
  bool fits_current_list(size_t stream, uint64_t chunk_bytes) const;
  Room make_room(AviWriter& a, size_t stream, uint64_t chunk_bytes);
  void record(AviWriter& a, size_t stream, uint64_t chunk_pos, uint32_t size, uint32_t flags,
              uint32_t idx1_length, uint64_t duration);
  FrameWrite write_failed(const AviWriter& a);
  void write_idx1(AviWriter& a);
  bool write_ix(AviWriter& a, size_t stream);
  bool close_list(AviWriter& a);
  bool begin_avix(AviWriter& a);
  int flush_failed(AviWriter& a);
};

AviWriter::AviWriter() : impl_(std::make_unique<Impl>()) {}
AviWriter::~AviWriter() = default;

namespace {

// Writes go out in pieces of at most this size. One write of a whole 1080p frame made
// the kernel gather large blocks of page cache for it: on Linux 6.18 (ext4) 373 MB of
// frames took two to three times the system time of the same bytes in 256 KiB writes.
constexpr uint64_t kWritePiece = 256 * 1024;

// Appends n bytes to the stream and advances pos; the stream's state tells of failure.
void put(std::ofstream& out, uint64_t& pos, const void* data, uint64_t n) {
  const char* bytes = static_cast<const char*>(data);
  for (uint64_t done = 0; done < n;) {  // an empty index may have no storage at all
    const uint64_t piece = std::min(n - done, kWritePiece);
    out.write(bytes + done, static_cast<std::streamsize>(piece));
    done += piece;
  }
  pos += n;
}

// A sound stream's list at p, from its format; returns its length.
size_t store_audio_strl(uint8_t* p, const AviAudioFormat& f) {
  uint8_t* strh = p + 12;
  riff::store_fourcc(strh, "strh");
  riff::store_le32(strh + 4, 56);
  riff::store_fourcc(strh + 8, "auds");
  riff::store_le32(p + kAudioStrhScale, f.block_align);
  riff::store_le32(p + kAudioStrhScale + 4, f.sample_rate * uint32_t{f.block_align});
  riff::store_le32(strh + 8 + 40, kQualityDefault);
  riff::store_le32(strh + 8 + 44, f.block_align);  // dwSampleSize
  uint8_t* strf = strh + kStrhBytes;
  riff::store_fourcc(strf, "strf");
  const size_t format_bytes = store_wave_format(strf + 8, f);
  riff::store_le32(strf + 4, static_cast<uint32_t>(format_bytes));
  uint8_t* reserved = strf + 8 + format_bytes;
  riff::store_fourcc(reserved, "JUNK");
  riff::store_le32(reserved + 4, kReservedBytes);
  const size_t bytes = static_cast<size_t>(reserved + 8 + kReservedBytes - p);
  riff::store_fourcc(p, "LIST");
  riff::store_le32(p + 4, static_cast<uint32_t>(bytes - 8));
  riff::store_fourcc(p + 8, "strl");
  return bytes;
}

size_t audio_strl_bytes(const AviAudioFormat& f) {
  uint8_t strf[40];
  return 12 + kStrhBytes + 8 + store_wave_format(strf, f) + 8 + kReservedBytes;
}

}  // namespace

int AviWriter::add_audio_stream(const AviAudioFormat& f) {
  Impl& w = *impl_;
  if (header || static_cast<int>(w.formats.size()) >= kMaxAudioStreams) return -1;
  const uint64_t avg = uint64_t{f.sample_rate} * f.block_align;
  if (f.channels == 0 || f.sample_rate == 0 || f.block_align == 0 || f.bits_per_sample == 0 ||
      avg > 0xFFFFFFFFu)
    return -1;
  w.formats.push_back(f);
  return static_cast<int>(w.formats.size());
}

// The header image: the template, with the sound streams' lists inserted after the video's
// and the closing 'JUNK' chunk grown to keep the header a multiple of kHeaderGrowth longer.
void AviWriter::Impl::build_header(AviWriter& a) {
  uint8_t t[kAviHeaderBytes];
  const int consumed = zero::deRLE(compact_empty, t, kAviHeaderBytes, 1);
  assert(consumed == static_cast<int>(sizeof(compact_empty)));
  (void)consumed;
  size_t lists_bytes = 0;
  for (const AviAudioFormat& f : formats) lists_bytes += audio_strl_bytes(f);
  shift = lists_bytes;
  grow = (lists_bytes + kHeaderGrowth - 1) / kHeaderGrowth * kHeaderGrowth;
  header_bytes = kAviHeaderBytes + grow;
  a.header = std::make_unique<uint8_t[]>(header_bytes);
  uint8_t* h = a.header.get();
  std::memset(h, 0, header_bytes);
  std::memcpy(h, t, kOdmlList);
  streams.assign(1, StreamState());
  streams[0].reserved_at = kReservedChunk;
  size_t at = kOdmlList;
  for (size_t i = 0; i < formats.size(); ++i) {
    StreamState s;
    const int n = static_cast<int>(i) + 1;
    s.chunk_id[0] = static_cast<char>('0' + n / 10);
    s.chunk_id[1] = static_cast<char>('0' + n % 10);
    s.chunk_id[2] = 'w';
    s.chunk_id[3] = 'b';
    s.strl_at = at;
    s.block_align = formats[i].block_align;
    at += store_audio_strl(h + at, formats[i]);
    s.reserved_at = at - 8 - kReservedBytes;
    streams.push_back(std::move(s));
  }
  std::memcpy(h + at, t + kOdmlList, kClosingJunk - kOdmlList);
  std::memcpy(h + at + (kClosingJunk - kOdmlList), t + kClosingJunk, 8);  // "JUNK" and size
  std::memcpy(h + header_bytes - 12, t + kMoviList, 12);
  if (formats.empty()) return;
  riff::store_le32(h + kHdrlSize, static_cast<uint32_t>(4588 + lists_bytes));
  riff::store_le32(h + kAvihStreams, static_cast<uint32_t>(1 + formats.size()));
  const size_t junk_size = kCreditOffset - 4 + lists_bytes;
  riff::store_le32(h + junk_size, static_cast<uint32_t>(3576 + grow - lists_bytes));
}

int AviWriter::init(const char* name, int width, int height, int rate, int scale, int compressed) {
  std::vector<AviAudioFormat> formats = std::move(impl_->formats);
  impl_ = std::make_unique<Impl>();
  impl_->formats = std::move(formats);
  impl_->path = name;
  filename = impl_->path.c_str();
  impl_->limit = std::min<uint64_t>(riff_limit, 0xFFFFFFFFu);
  num_frames = 0;
  index_capacity = 0;
  index.clear();
  max_chunk_size = 0;

  impl_->build_header(*this);
  uint8_t* h = header.get();
  riff::store_le32(h + kAvihMicroSecPerFrame, micro_sec_per_frame(rate, scale));
  riff::store_le32(h + kAvihWidth, static_cast<uint32_t>(width));
  riff::store_le32(h + kBiWidth, static_cast<uint32_t>(width));
  riff::store_le32(h + kAvihHeight, static_cast<uint32_t>(height));
  riff::store_le32(h + kBiHeight, static_cast<uint32_t>(height));
  riff::store_le32(h + kStrhRate, static_cast<uint32_t>(rate));
  riff::store_le32(h + kStrhScale, static_cast<uint32_t>(scale));
  // One uncompressed 24-bit frame, narrowed on purpose to the 32-bit field.
  const int64_t image_bytes = int64_t{3} * width * height;
  riff::store_le32(h + kBiSizeImage, static_cast<uint32_t>(image_bytes));
  if (compressed) {
    riff::store_fourcc(h + kStrhHandler, "vizu");
    riff::store_le32(h + kBiCompression, kFourccVizu);
  } else {
    riff::store_fourcc(h + kStrhHandler, "DIB ");
    riff::store_le32(h + kBiCompression, 0);
  }

  out.open(filename, std::ios::out | std::ios::binary | std::ios::trunc);
  if (!out.is_open() || !out.good()) {
    std::printf("Unable to open output file %s\n", filename);
    return 0;
  }

  std::memcpy(h + kCreditOffset + impl_->shift, kCredit, sizeof(kCredit));

  put(out, impl_->pos, h, impl_->header_bytes);
  // Flushed here so that a file that cannot take even the header is refused now.
  out.flush();
  if (!out.good()) {
    std::printf("Unable to open output file %s\n", filename);
    out.close();
    impl_->failed = true;
    return 0;
  }
  impl_->movi_start = impl_->header_bytes - 12;
  return 1;
}

// Whether a chunk of chunk_bytes of the stream still fits the current RIFF list together
// with all that must follow it there. The first list can end in two ways, and both must
// stay possible: the plain ending (idx1, "JUNK" and the closing pad) if no chunk comes
// after, and the OpenDML ending (the standard indexes, then idx1) if a later chunk moves
// on to 'AVIX'.
bool AviWriter::Impl::fits_current_list(size_t stream, uint64_t chunk_bytes) const {
  const uint64_t end = pos + chunk_bytes;
  uint64_t ix_bytes = 0;
  for (size_t s = 0; s < streams.size(); ++s) {
    const uint64_t entries = streams[s].list_entries() + (s == stream ? 1 : 0);
    if (entries > 0) ix_bytes += ix00_bytes(entries);
  }
  if (odml) return end + ix_bytes - list_start <= limit;
  const uint64_t idx1_bytes = 8 + kIdx1EntryBytes * (static_cast<uint64_t>(idx1_entries) + 1);
  const uint64_t plain_end = closing_pad_end(end + idx1_bytes + 4);
  return plain_end <= limit && end + ix_bytes + idx1_bytes <= limit;
}

// Makes room for a chunk of the stream: moves on to a new RIFF list when the current one
// cannot take it. Prints the message when the file is full; kTooLarge is the caller's to
// name.
Room AviWriter::Impl::make_room(AviWriter& a, size_t stream, uint64_t chunk_bytes) {
  if (fits_current_list(stream, chunk_bytes)) return Room::kFits;
  uint64_t list_chunks = 0;
  for (const StreamState& s : streams) list_chunks += s.list_entries();
  const bool fits_empty_avix = kAvixHeadBytes + chunk_bytes + ix00_bytes(1) <= limit;
  if (list_chunks == 0 || !fits_empty_avix) return Room::kTooLarge;
  if (lists == kSuperIndexEntries) {
    std::printf("The AVI file %s cannot hold more frames: its index is full at %d frames\n",
                a.filename, a.num_frames);
    return Room::kFull;
  }
  if (!close_list(a) || !begin_avix(a)) return Room::kError;
  return Room::kFits;
}

FrameWrite AviWriter::write_frame(unsigned char* data, int size, int flags) {
  assert(size >= 0);
  Impl& w = *impl_;
  if (w.failed) return FrameWrite::kError;
  if (w.full) return FrameWrite::kFull;
  assert(out.is_open());

  const uint64_t padded = (static_cast<uint64_t>(size) + 3) & ~uint64_t{3};
  const uint64_t chunk_bytes = 8 + padded;

  if (num_frames == std::numeric_limits<int32_t>::max()) {
    std::printf("The AVI file %s cannot hold more frames: its index is full at %d frames\n",
                filename, num_frames);
    w.full = true;
    return FrameWrite::kFull;
  }
  const Room room = w.make_room(*this, 0, chunk_bytes);
  if (room == Room::kTooLarge)
    std::printf("Frame %d (%d bytes) is too large for a RIFF list of the AVI file %s\n",
                num_frames + 1, size, filename);
  if (room == Room::kError) return w.write_failed(*this);
  if (room != Room::kFits) {
    w.full = true;
    return FrameWrite::kFull;
  }

  const int64_t chunk_size = int64_t{size} + 4;
  if (max_chunk_size < chunk_size) max_chunk_size = static_cast<int32_t>(chunk_size);

  // The pad bytes come from the caller's buffer, which has room for them, so the frame
  // goes out in one write without a copy.
  data[size] = 0;
  data[size + 1] = 0;
  data[size + 2] = 0;

  const uint64_t chunk_pos = w.pos;
  uint8_t head[8];
  riff::store_fourcc(head, "00dc");
  riff::store_le32(head + 4, static_cast<uint32_t>(size));
  put(out, w.pos, head, 8);
  put(out, w.pos, data, padded);
  if (!w.odml) ++w.first_frames;
  w.record(*this, 0, chunk_pos, static_cast<uint32_t>(size), static_cast<uint32_t>(flags),
           static_cast<uint32_t>(padded), 1);
  ++num_frames;
  if (!out.good()) return w.write_failed(*this);
  return FrameWrite::kWritten;
}

FrameWrite AviWriter::write_audio(int stream, const unsigned char* data, uint32_t size) {
  Impl& w = *impl_;
  const bool known = stream >= 1 && static_cast<size_t>(stream) < w.streams.size();
  const bool whole = known && size % w.streams[static_cast<size_t>(stream)].block_align == 0;
  assert(whole);
  // Without asserts a caller's mistake still writes nothing the index would misdescribe.
  if (!whole) return FrameWrite::kError;
  StreamState& s = w.streams[static_cast<size_t>(stream)];
  if (w.failed) return FrameWrite::kError;
  if (w.full) return FrameWrite::kFull;
  assert(out.is_open());

  const uint64_t blocks = size / s.block_align;
  if (s.blocks + blocks > 0xFFFFFFFFu) {
    std::printf("The AVI file %s cannot hold more sound: stream %d is full at %llu blocks\n",
                filename, stream, static_cast<unsigned long long>(s.blocks));
    w.full = true;
    return FrameWrite::kFull;
  }
  const uint64_t padded = uint64_t{size} + (size & 1);
  const Room room = w.make_room(*this, static_cast<size_t>(stream), 8 + padded);
  if (room == Room::kTooLarge)
    std::printf(
        "A sound chunk of stream %d (%u bytes) is too large for a RIFF list of the AVI "
        "file %s\n",
        stream, size, filename);
  if (room == Room::kError) return w.write_failed(*this);
  if (room != Room::kFits) {
    w.full = true;
    return FrameWrite::kFull;
  }

  const uint64_t chunk_pos = w.pos;
  uint8_t head[8];
  std::memcpy(head, s.chunk_id, 4);
  riff::store_le32(head + 4, size);
  put(out, w.pos, head, 8);
  put(out, w.pos, data, size);
  static const uint8_t kPad[1] = {0};
  put(out, w.pos, kPad, padded - size);
  s.blocks += blocks;
  s.largest = std::max(s.largest, size);
  w.record(*this, static_cast<size_t>(stream), chunk_pos, size, kKeyFrameFlag, size, blocks);
  if (!out.good()) return w.write_failed(*this);
  return FrameWrite::kWritten;
}

// Enters a chunk just written at chunk_pos in idx1 (while in the first RIFF list) and in
// the stream's standard index of the current list.
void AviWriter::Impl::record(AviWriter& a, size_t stream, uint64_t chunk_pos, uint32_t size,
                             uint32_t flags, uint32_t idx1_length, uint64_t duration) {
  StreamState& s = streams[stream];
  if (!odml) {
    if (idx1_entries >= a.index_capacity) {
      a.index_capacity += kIndexGrowth;
      a.index.resize(static_cast<size_t>(a.index_capacity) * kIdx1EntryBytes);
    }
    uint8_t* entry = a.index.data() + static_cast<size_t>(idx1_entries) * kIdx1EntryBytes;
    std::memcpy(entry, s.chunk_id, 4);
    riff::store_le32(entry + 4, flags);
    riff::store_le32(entry + 8, static_cast<uint32_t>(chunk_pos - idx1_base()));
    riff::store_le32(entry + 12, idx1_length);
    ++idx1_entries;
  }
  uint8_t ix_entry[kIx00EntryBytes];
  riff::store_le32(ix_entry, static_cast<uint32_t>(chunk_pos + 8 - movi_start));
  const uint32_t key_bit = (flags & kKeyFrameFlag) ? 0 : kNotKeyFrameBit;
  riff::store_le32(ix_entry + 4, size | key_bit);
  s.ix.insert(s.ix.end(), ix_entry, ix_entry + kIx00EntryBytes);
  s.list_duration += duration;
}

FrameWrite AviWriter::Impl::write_failed(const AviWriter& a) {
  if (!failed) std::printf("Unable to write output file %s\n", a.filename);
  failed = true;
  return FrameWrite::kError;
}

// Appends "idx1", its size and the entries of the first RIFF list's chunks.
void AviWriter::Impl::write_idx1(AviWriter& a) {
  uint8_t head[8];
  riff::store_fourcc(head, "idx1");
  const uint64_t idx1_bytes = kIdx1EntryBytes * static_cast<uint64_t>(idx1_entries);
  riff::store_le32(head + 4, static_cast<uint32_t>(idx1_bytes));
  put(a.out, pos, head, 8);
  put(a.out, pos, a.index.data(), idx1_bytes);
}

// Appends the stream's standard index of the current list, when it has chunks there, and
// enters it in the stream's super index in the header image.
bool AviWriter::Impl::write_ix(AviWriter& a, size_t stream) {
  StreamState& s = streams[stream];
  const uint64_t entries = s.list_entries();
  if (entries == 0) return true;
  const uint64_t at = pos;
  uint8_t head[kIx00HeadBytes] = {};
  riff::store_fourcc(head, "ix00");
  head[2] = static_cast<uint8_t>('0' + stream / 10);
  head[3] = static_cast<uint8_t>('0' + stream % 10);
  riff::store_le32(head + 4, static_cast<uint32_t>(ix00_bytes(entries) - 8));
  riff::store_le16(head + 8, 2);  // wLongsPerEntry
  head[10] = 0;                   // bIndexSubType
  head[11] = 1;                   // bIndexType: an index of chunks
  riff::store_le32(head + 12, static_cast<uint32_t>(entries));
  std::memcpy(head + 16, s.chunk_id, 4);
  riff::store_le64(head + 20, movi_start);
  put(a.out, pos, head, sizeof(head));
  put(a.out, pos, s.ix.data(), s.ix.size());

  uint8_t* super = a.header.get() + s.reserved_at;
  uint8_t* entry = super + 8 + 24 + static_cast<size_t>(s.super_entries) * 16;
  riff::store_le64(entry, at);
  riff::store_le32(entry + 8, static_cast<uint32_t>(ix00_bytes(entries)));
  riff::store_le32(entry + 12, static_cast<uint32_t>(s.list_duration));
  ++s.super_entries;
  riff::store_le32(super + 12, s.super_entries);
  s.ix.clear();
  s.list_duration = 0;
  return a.out.good();
}

// Closes the current RIFF list so that the next chunk can start a new one.
bool AviWriter::Impl::close_list(AviWriter& a) {
  std::ofstream& file = a.out;
  uint8_t* h = a.header.get();
  if (!odml) {
    // The reserved chunks become the super indexes; their size stays 4,120.
    for (const StreamState& s : streams) {
      uint8_t* super = h + s.reserved_at;
      riff::store_fourcc(super, "indx");
      riff::store_le16(super + 8, 4);  // wLongsPerEntry
      super[10] = 0;                   // bIndexSubType
      super[11] = 0;                   // bIndexType: an index of indexes
      std::memcpy(super + 16, s.chunk_id, 4);
    }
    for (size_t s = 0; s < streams.size(); ++s)
      if (!write_ix(a, s)) return false;
    riff::store_le32(h + movi_start + 4, static_cast<uint32_t>(pos - idx1_base()));
    write_idx1(a);
    riff::store_le32(h + kRiffSize, static_cast<uint32_t>(pos - 8));
    riff::store_le32(h + kAvihTotalFrames, static_cast<uint32_t>(first_frames));
    odml = true;
    return file.good();
  }
  for (size_t s = 0; s < streams.size(); ++s)
    if (!write_ix(a, s)) return false;
  // The sizes of an 'AVIX' list are known only now; patch them in place.
  const uint64_t end = pos;
  uint8_t size_field[4];
  riff::store_le32(size_field, static_cast<uint32_t>(end - list_start - 8));
  file.seekp(static_cast<std::streamoff>(list_start + 4));
  file.write(reinterpret_cast<const char*>(size_field), 4);
  riff::store_le32(size_field, static_cast<uint32_t>(end - movi_start - 8));
  file.seekp(static_cast<std::streamoff>(movi_start + 4));
  file.write(reinterpret_cast<const char*>(size_field), 4);
  file.seekp(static_cast<std::streamoff>(end));
  return file.good();
}

// Begins an 'AVIX' RIFF list with its one 'movi' list; the sizes are patched at close.
bool AviWriter::Impl::begin_avix(AviWriter& a) {
  std::ofstream& file = a.out;
  list_start = pos;
  movi_start = pos + 12;
  ++lists;
  const uint8_t head[kAvixHeadBytes] = {'R', 'I', 'F', 'F', 0, 0, 0, 0, 'A', 'V', 'I', 'X',
                                        'L', 'I', 'S', 'T', 0, 0, 0, 0, 'm', 'o', 'v', 'i'};
  put(file, pos, head, sizeof(head));
  return file.good();
}

int AviWriter::flush() {
  Impl& w = *impl_;
  assert(header);
  if (w.failed) {
    if (out.is_open()) out.close();
    return 0;
  }
  assert(out.is_open());
  uint8_t* h = header.get();

  if (!w.odml) {
    riff::store_le32(h + kAvihSuggestedBufferSize, 0);
    riff::store_le32(h + kAvihTotalFrames, static_cast<uint32_t>(num_frames));
    riff::store_le32(h + w.movi_start + 4, static_cast<uint32_t>(w.pos - w.idx1_base()));
    w.write_idx1(*this);
    put(out, w.pos, "JUNK", 4);
    const uint64_t pad = closing_pad_end(w.pos) - w.pos;
    static const uint8_t kZeros[1024] = {};
    put(out, w.pos, kZeros, pad);
    riff::store_le32(h + kRiffSize, static_cast<uint32_t>(w.pos - 8));
  } else {
    if (!w.close_list(*this)) return w.flush_failed(*this);
    riff::store_le32(h + kAvihSuggestedBufferSize, 0);
    riff::store_le32(h + kDmlhTotalFrames + w.shift, static_cast<uint32_t>(num_frames));
  }
  riff::store_le32(h + kStrhStart, 0);
  riff::store_le32(h + kStrhLength, static_cast<uint32_t>(num_frames));
  riff::store_le32(h + kStrhSuggestedBufferSize, static_cast<uint32_t>(max_chunk_size));
  for (const StreamState& s : w.streams) {
    if (s.block_align == 0) continue;  // the video
    riff::store_le32(h + s.strl_at + kAudioStrhLength, static_cast<uint32_t>(s.blocks));
    riff::store_le32(h + s.strl_at + kAudioStrhSuggestedBufferSize, s.largest);
  }

  if (!out.good()) return w.flush_failed(*this);
  out.close();
  if (out.fail()) return w.flush_failed(*this);

  // Reopened without truncation; the file must still be there.
  std::fstream again(filename, std::ios::in | std::ios::out | std::ios::binary);
  if (!again.is_open()) return w.flush_failed(*this);
  again.seekp(0);
  again.write(reinterpret_cast<const char*>(h), static_cast<std::streamsize>(w.idx1_base()));
  again.flush();
  if (!again.good()) return w.flush_failed(*this);
  again.close();
  if (again.fail()) return w.flush_failed(*this);
  return 1;
}

int AviWriter::Impl::flush_failed(AviWriter& a) {
  write_failed(a);
  if (a.out.is_open()) a.out.close();
  return 0;
}

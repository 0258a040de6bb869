// avi/avi_writer.cpp: AviWriter, the header template and the AVI byte-order helper.
//
// Read me first. The file is the 8,204-byte header image, the "00dc" frame chunks from
// 0x200C, then the "idx1" index and a closing pad to a multiple of 1,024 bytes; at the
// end the counts and sizes are patched into the header image in memory and its first
// 8,200 bytes are written over the start of the file. Positions are tracked here as
// 64-bit numbers (pos), so nothing depends on the stream's position type.
//
// When the next frame would make a RIFF list pass riff_limit, the file moves on to the
// OpenDML layout described in avi/avi.h. The per-list bookkeeping lives in Impl.
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
constexpr size_t kDmlhTotalFrames = 0x1108;
constexpr size_t kCreditOffset = 0x1208;
constexpr size_t kMoviSize = 0x2004;

// Everything before the list type "movi" at 0x2008: the part rewritten at finish.
constexpr size_t kHeaderRewriteBytes = 8200;
// idx1 offsets count from the list type "movi".
constexpr uint64_t kIdx1Base = 8200;

constexpr int32_t kIndexGrowth = 512;  // idx1 entries per growth step
constexpr size_t kIdx1EntryBytes = 16;
constexpr size_t kIx00EntryBytes = 8;
constexpr uint64_t kIx00HeadBytes = 32;  // id, cb and 24 bytes of fields
constexpr uint64_t kAvixHeadBytes = 24;  // "RIFF" size "AVIX" "LIST" size "movi"
constexpr int kSuperIndexEntries = 256;  // what the reserved 4,120 bytes hold
constexpr size_t kSuperIndexEntriesAt = kReservedChunk + 8 + 24;
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

}  // namespace

unsigned long to_avi_edian_l(unsigned long value) {
  // The value whose native bytes are the little-endian file form.
  uint8_t bytes[4];
  store_le32(bytes, static_cast<uint32_t>(value));
  uint32_t file_form = 0;
  std::memcpy(&file_form, bytes, 4);
  return file_form;
}

struct AviWriter::Impl {
  std::string path;
  uint64_t limit = 0;         // riff_limit as taken at init, at most 4 GiB - 1
  uint64_t pos = 0;           // the write position of out
  bool odml = false;          // the first RIFF list is closed; frames go to 'AVIX' lists
  int32_t idx1_frames = 0;    // idx1 entries in use: the frames of the first RIFF list
  int lists = 1;              // RIFF lists begun, the current one included
  uint64_t list_start = 0;    // offset of the current RIFF list's "RIFF" id
  uint64_t movi_start = 0;    // offset of its 'movi' list's "LIST" id: qwBaseOffset
  std::vector<uint8_t> ix00;  // the current list's standard index entries, 8 bytes each
  bool full = false;
  bool failed = false;

  uint32_t list_frames() const { return static_cast<uint32_t>(ix00.size() / kIx00EntryBytes); }

  bool fits_current_list(uint64_t chunk_bytes) const;
  FrameWrite write_failed(const AviWriter& a);
  void write_idx1(AviWriter& a);
  bool write_ix00(AviWriter& a);
  bool close_list(AviWriter& a);
  bool begin_avix(AviWriter& a);
  int flush_failed(AviWriter& a);
};

AviWriter::AviWriter() : impl_(std::make_unique<Impl>()) {}
AviWriter::~AviWriter() = default;

namespace {

// Appends n bytes to the stream and advances pos; the stream's state tells of failure.
void put(std::ofstream& out, uint64_t& pos, const void* data, uint64_t n) {
  if (n == 0) return;  // an empty index may have no storage at all
  out.write(static_cast<const char*>(data), static_cast<std::streamsize>(n));
  pos += n;
}

}  // namespace

int AviWriter::init(const char* name, int width, int height, int rate, int scale, int compressed) {
  impl_ = std::make_unique<Impl>();
  impl_->path = name;
  filename = impl_->path.c_str();
  impl_->limit = std::min<uint64_t>(riff_limit, 0xFFFFFFFFu);
  num_frames = 0;
  index_capacity = 0;
  index.clear();
  max_chunk_size = 0;

  header = std::make_unique<uint8_t[]>(kAviHeaderBytes);
  const int consumed = zero::deRLE(compact_empty, header.get(), kAviHeaderBytes, 1);
  assert(consumed == static_cast<int>(sizeof(compact_empty)));
  (void)consumed;

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

  std::memcpy(h + kCreditOffset, kCredit, sizeof(kCredit));

  put(out, impl_->pos, h, kAviHeaderBytes);
  // Flushed here so that a file that cannot take even the header is refused now.
  out.flush();
  if (!out.good()) {
    std::printf("Unable to open output file %s\n", filename);
    out.close();
    impl_->failed = true;
    return 0;
  }
  impl_->movi_start = kAviHeaderBytes - 12;
  return 1;
}

// Whether a chunk of chunk_bytes still fits the current RIFF list together with all
// that must follow it there. The first list can end in two ways, and both must stay
// possible: the plain ending (idx1, "JUNK" and the closing pad) if no frame comes after,
// and the OpenDML ending (ix00, then idx1) if a later frame moves on to 'AVIX'.
bool AviWriter::Impl::fits_current_list(uint64_t chunk_bytes) const {
  const uint64_t end = pos + chunk_bytes;
  const uint64_t entries = uint64_t{list_frames()} + 1;
  const uint64_t ix00_end = end + ix00_bytes(entries);
  if (odml) return ix00_end - list_start <= limit;
  const uint64_t idx1_bytes = 8 + kIdx1EntryBytes * entries;
  const uint64_t plain_end = closing_pad_end(end + idx1_bytes + 4);
  return plain_end <= limit && ix00_end + idx1_bytes <= limit;
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
  if (!w.fits_current_list(chunk_bytes)) {
    const bool fits_empty_avix = kAvixHeadBytes + chunk_bytes + ix00_bytes(1) <= w.limit;
    if (w.list_frames() == 0 || !fits_empty_avix) {
      std::printf("Frame %d (%d bytes) is too large for a RIFF list of the AVI file %s\n",
                  num_frames + 1, size, filename);
      w.full = true;
      return FrameWrite::kFull;
    }
    if (w.lists == kSuperIndexEntries) {
      std::printf("The AVI file %s cannot hold more frames: its index is full at %d frames\n",
                  filename, num_frames);
      w.full = true;
      return FrameWrite::kFull;
    }
    if (!w.close_list(*this) || !w.begin_avix(*this)) return w.write_failed(*this);
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

  if (!w.odml) {
    if (w.idx1_frames >= index_capacity) {
      index_capacity += kIndexGrowth;
      index.resize(static_cast<size_t>(index_capacity) * kIdx1EntryBytes);
    }
    uint8_t* entry = index.data() + static_cast<size_t>(w.idx1_frames) * kIdx1EntryBytes;
    riff::store_fourcc(entry, "00dc");
    riff::store_le32(entry + 4, static_cast<uint32_t>(flags));
    riff::store_le32(entry + 8, static_cast<uint32_t>(chunk_pos - kIdx1Base));
    riff::store_le32(entry + 12, static_cast<uint32_t>(padded));
    ++w.idx1_frames;
  }

  uint8_t ix_entry[kIx00EntryBytes];
  riff::store_le32(ix_entry, static_cast<uint32_t>(chunk_pos + 8 - w.movi_start));
  const uint32_t key_bit = (static_cast<uint32_t>(flags) & kKeyFrameFlag) ? 0 : kNotKeyFrameBit;
  riff::store_le32(ix_entry + 4, static_cast<uint32_t>(size) | key_bit);
  w.ix00.insert(w.ix00.end(), ix_entry, ix_entry + kIx00EntryBytes);

  ++num_frames;
  if (!out.good()) return w.write_failed(*this);
  return FrameWrite::kWritten;
}

FrameWrite AviWriter::Impl::write_failed(const AviWriter& a) {
  if (!failed) std::printf("Unable to write output file %s\n", a.filename);
  failed = true;
  return FrameWrite::kError;
}

// Appends "idx1", its size and the entries of the first RIFF list's frames.
void AviWriter::Impl::write_idx1(AviWriter& a) {
  uint8_t head[8];
  riff::store_fourcc(head, "idx1");
  const uint64_t idx1_bytes = kIdx1EntryBytes * static_cast<uint64_t>(idx1_frames);
  riff::store_le32(head + 4, static_cast<uint32_t>(idx1_bytes));
  put(a.out, pos, head, 8);
  put(a.out, pos, a.index.data(), idx1_bytes);
}

// Appends the current list's ix00 and enters it in the super index of the header image.
bool AviWriter::Impl::write_ix00(AviWriter& a) {
  std::ofstream& file = a.out;
  const uint32_t entries = list_frames();
  const uint64_t at = pos;
  uint8_t head[kIx00HeadBytes] = {};
  riff::store_fourcc(head, "ix00");
  riff::store_le32(head + 4, static_cast<uint32_t>(ix00_bytes(entries) - 8));
  riff::store_le16(head + 8, 2);  // wLongsPerEntry
  head[10] = 0;                   // bIndexSubType
  head[11] = 1;                   // bIndexType: an index of chunks
  riff::store_le32(head + 12, entries);
  riff::store_fourcc(head + 16, "00dc");
  riff::store_le64(head + 20, movi_start);
  put(file, pos, head, sizeof(head));
  put(file, pos, ix00.data(), ix00.size());

  uint8_t* h = a.header.get();
  const int slot = lists - 1;
  uint8_t* entry = h + kSuperIndexEntriesAt + static_cast<size_t>(slot) * 16;
  riff::store_le64(entry, at);
  riff::store_le32(entry + 8, static_cast<uint32_t>(ix00_bytes(entries)));
  riff::store_le32(entry + 12, entries);
  riff::store_le32(h + kReservedChunk + 12, static_cast<uint32_t>(lists));
  return file.good();
}

// Closes the current RIFF list so that the next frame can start a new one.
bool AviWriter::Impl::close_list(AviWriter& a) {
  std::ofstream& file = a.out;
  uint8_t* h = a.header.get();
  if (!odml) {
    // The reserved chunk becomes the super index; its size stays 4,120.
    riff::store_fourcc(h + kReservedChunk, "indx");
    riff::store_le16(h + kReservedChunk + 8, 4);  // wLongsPerEntry
    h[kReservedChunk + 10] = 0;                   // bIndexSubType
    h[kReservedChunk + 11] = 0;                   // bIndexType: an index of indexes
    riff::store_fourcc(h + kReservedChunk + 16, "00dc");
    if (!write_ix00(a)) return false;
    riff::store_le32(h + kMoviSize, static_cast<uint32_t>(pos - kIdx1Base));
    write_idx1(a);
    riff::store_le32(h + kRiffSize, static_cast<uint32_t>(pos - 8));
    riff::store_le32(h + kAvihTotalFrames, static_cast<uint32_t>(idx1_frames));
    odml = true;
    return file.good();
  }
  if (!write_ix00(a)) return false;
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
  ix00.clear();
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
    const uint64_t movi_end = w.pos;
    riff::store_le32(h + kMoviSize, static_cast<uint32_t>(movi_end - kIdx1Base));
    riff::store_le32(h + kStrhStart, 0);
    riff::store_le32(h + kStrhLength, static_cast<uint32_t>(num_frames));
    riff::store_le32(h + kStrhSuggestedBufferSize, static_cast<uint32_t>(max_chunk_size));

    w.write_idx1(*this);

    put(out, w.pos, "JUNK", 4);
    const uint64_t pad = closing_pad_end(w.pos) - w.pos;
    static const uint8_t kZeros[1024] = {};
    put(out, w.pos, kZeros, pad);
    riff::store_le32(h + kRiffSize, static_cast<uint32_t>(w.pos - 8));
  } else {
    if (!w.close_list(*this)) return w.flush_failed(*this);
    riff::store_le32(h + kAvihSuggestedBufferSize, 0);
    riff::store_le32(h + kStrhStart, 0);
    riff::store_le32(h + kStrhLength, static_cast<uint32_t>(num_frames));
    riff::store_le32(h + kStrhSuggestedBufferSize, static_cast<uint32_t>(max_chunk_size));
    riff::store_le32(h + kDmlhTotalFrames, static_cast<uint32_t>(num_frames));
  }

  if (!out.good()) return w.flush_failed(*this);
  out.close();
  if (out.fail()) return w.flush_failed(*this);

  // Reopened without truncation; the file must still be there.
  std::fstream again(filename, std::ios::in | std::ios::out | std::ios::binary);
  if (!again.is_open()) return w.flush_failed(*this);
  again.seekp(0);
  again.write(reinterpret_cast<const char*>(h), kHeaderRewriteBytes);
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

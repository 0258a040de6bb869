// The sound sample description of a track and the conversion of its samples to the form
// WAVE stores: little-endian, 8-bit samples unsigned, channels interleaved as in the movie.
//
// Offsets below are counted from the description's start (its size field). Versions 0
// and 1 carry the channels, the sample size and a 16.16 rate at fixed places (version 1
// adds the bytes of a frame); version 2 carries a float64 rate, 32-bit channel and bit
// counts and the format flags that lpcm reads. Extension atoms follow the fixed fields;
// an "enda" atom (inside "wave", or on its own) with the value 1 marks little-endian
// samples of the formats that are big-endian without it.
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>

#include "common/common.h"
#include "mov/mov.h"

namespace {

constexpr size_t kFormatAt = 4;
constexpr size_t kVersionAt = 16;
constexpr size_t kChannelsAt = 24;  // versions 0 and 1
constexpr size_t kSampleBitsAt = 26;
constexpr size_t kRateAt = 32;  // 16.16
constexpr size_t kVersion0End = 36;
constexpr size_t kBytesPerFrameAt = 44;  // version 1
constexpr size_t kVersion1End = 52;
constexpr size_t kRate64At = 40;  // version 2
constexpr size_t kChannels32At = 48;
constexpr size_t kBitsPerChannelAt = 56;
constexpr size_t kFlagsAt = 60;
constexpr size_t kBytesPerPacketAt = 64;
constexpr size_t kFramesPerPacketAt = 68;
constexpr size_t kVersion2End = 72;

// lpcm's format flags.
constexpr uint32_t kLpcmFloat = 1;
constexpr uint32_t kLpcmBigEndian = 2;
constexpr uint32_t kLpcmSigned = 4;

// More channels than any real capture has; the bound keeps a hostile count from sizing
// the blocks of the AVI stream.
constexpr uint32_t kMaxChannels = 64;
// Above any rate a converter meets (768 kHz is the highest in use); the bound keeps the
// byte rate of the AVI stream within its 32-bit field.
constexpr uint32_t kMaxRate = 1u << 20;
// Extension atoms looked at, at most (real descriptions carry two or three).
constexpr int kMaxExtensions = 64;

bool is_code(const uint8_t* code, const char* want) { return std::memcmp(code, want, 4) == 0; }

// True when an "enda" atom among the atoms in [at, end) (or inside a "wave" atom among
// them) says the samples are little-endian.
bool little_endian_extension(ByteReader& r, size_t at, size_t end, int depth) {
  for (int i = 0; i < kMaxExtensions && end - at >= 8; ++i) {
    const uint32_t size = r.be32(at);
    const uint8_t* type = r.span(at + 4, 4);
    if (!r.ok() || type == nullptr || size < 8 || size > end - at) return false;
    if (is_code(type, "enda") && size >= 10) return r.be16(at + 8) == 1 && r.ok();
    if (is_code(type, "wave") && depth == 0 && little_endian_extension(r, at + 8, at + size, 1))
      return true;
    at += size;
  }
  return false;
}

// The sample layout a format code fixes; false for a code that is not uncompressed sound.
bool layout_of_code(const uint8_t* code, uint32_t bits, SoundFormat& f) {
  f.big_endian = true;
  f.coding = SoundCoding::kInteger;
  if (is_code(code, "twos") || is_code(code, "sowt")) {
    f.big_endian = is_code(code, "twos");
    f.bits = bits;
    f.signed8 = true;
  } else if (is_code(code, "raw ")) {
    f.bits = 8;
  } else if (is_code(code, "in24") || is_code(code, "in32")) {
    f.bits = is_code(code, "in24") ? 24 : 32;
  } else if (is_code(code, "fl32") || is_code(code, "fl64")) {
    f.coding = SoundCoding::kFloat;
    f.bits = is_code(code, "fl32") ? 32 : 64;
  } else if (is_code(code, "ulaw") || is_code(code, "alaw")) {
    f.coding = is_code(code, "ulaw") ? SoundCoding::kMuLaw : SoundCoding::kALaw;
    f.bits = 8;
  } else {
    return false;
  }
  return true;
}

// Version 2: the rate, the channels and, for lpcm, the layout from the flags.
bool read_version2(ByteReader& r, const uint8_t* code, SoundFormat& f, std::string& why) {
  const uint64_t rate_bits = r.be64(kRate64At);
  const uint32_t channels = r.be32(kChannels32At);
  const uint32_t bits = r.be32(kBitsPerChannelAt);
  const uint32_t flags = r.be32(kFlagsAt);
  const uint32_t bytes_per_packet = r.be32(kBytesPerPacketAt);
  const uint32_t frames_per_packet = r.be32(kFramesPerPacketAt);
  if (!r.ok()) {
    why = "has a damaged sample description";
    return false;
  }
  double rate = 0;
  std::memcpy(&rate, &rate_bits, sizeof rate);
  f.rate = std::isfinite(rate) && rate >= 1 && rate < 4e9 ? uint32_t(std::lround(rate)) : 0;
  f.channels = channels;
  if (is_code(code, "lpcm")) {
    f.bits = bits;
    f.big_endian = (flags & kLpcmBigEndian) != 0;
    f.coding = (flags & kLpcmFloat) ? SoundCoding::kFloat : SoundCoding::kInteger;
    f.signed8 = (flags & kLpcmSigned) != 0;
  } else if (!layout_of_code(code, bits, f)) {
    why = "is compressed sound";
    return false;
  }
  // Uncompressed sound moves one frame a packet; anything else is packed some other way.
  if (frames_per_packet != 1 || bytes_per_packet != f.channels * (f.bits / 8)) {
    why = "is packed in a way that is not plain samples";
    return false;
  }
  return true;
}

// The values are those a writer may put in a WAVE file.
bool plausible(const SoundFormat& f, std::string& why) {
  char text[96];
  const bool integer_bits = f.bits == 8 || f.bits == 16 || f.bits == 24 || f.bits == 32;
  const bool float_bits = f.bits == 32 || f.bits == 64;
  if (f.channels == 0 || f.channels > kMaxChannels) {
    std::snprintf(text, sizeof text, "has %u channels (1 to %u are carried)", f.channels,
                  kMaxChannels);
  } else if (f.coding == SoundCoding::kFloat ? !float_bits : !integer_bits) {
    std::snprintf(text, sizeof text, "has samples of %u bits", f.bits);
  } else if (f.rate == 0) {
    std::snprintf(text, sizeof text, "has no sample rate");
  } else if (f.rate > kMaxRate) {
    std::snprintf(text, sizeof text, "has a sample rate of %u Hz", f.rate);
  } else {
    return true;
  }
  why = text;
  return false;
}

}  // namespace

bool read_sound_description(const uint8_t* entry, size_t len, uint32_t time_scale, SoundFormat& f,
                            std::string& why) {
  f = SoundFormat();
  ByteReader r(entry, len);
  const uint8_t* code = r.span(kFormatAt, 4);
  const uint16_t version = r.be16(kVersionAt);
  if (code == nullptr || !r.ok() || version > 2 ||
      len < (version == 0   ? kVersion0End
             : version == 1 ? kVersion1End
                            : kVersion2End)) {
    why = "has a damaged sample description";
    return false;
  }
  std::memcpy(f.code, code, 4);
  if (version == 2) {
    if (!read_version2(r, code, f, why)) return false;
  } else {
    f.channels = r.be16(kChannelsAt);
    const uint32_t rate = r.be32(kRateAt);
    // A rate with a fraction (the old 22254.5454 Hz, say) cannot be a WAVE rate, and a
    // rate above 65535 Hz does not fit 16.16 (writers keep its low 16 bits there). The
    // media's time scale counts the samples, so then it is the rate they play at.
    const bool wrapped = time_scale > 0xFFFF && rate >> 16 == (time_scale & 0xFFFF);
    f.rate = (rate & 0xFFFF) == 0 && !wrapped ? rate >> 16 : time_scale;
    uint32_t bits = r.be16(kSampleBitsAt);
    // Version 1 gives the real size of a frame; the sample size field says 16 for 24-
    // and 32-bit twos and sowt.
    const uint32_t frame_bytes = version == 1 ? r.be32(kBytesPerFrameAt) : 0;
    if (version == 1 && f.channels > 0 && frame_bytes % f.channels == 0)
      bits = frame_bytes / f.channels * 8;
    if (!layout_of_code(code, bits, f)) {
      why = "is compressed sound";
      return false;
    }
  }
  if (!plausible(f, why)) return false;
  const size_t end = version == 0 ? kVersion0End : version == 1 ? kVersion1End : kVersion2End;
  const bool lpcm = is_code(code, "lpcm");
  if (!lpcm && f.big_endian && f.bits > 8 && !is_code(code, "twos") &&
      little_endian_extension(r, end, len, 0)) {
    f.big_endian = false;
  }
  if (f.bits == 8) f.big_endian = false;
  f.block_align = f.channels * (f.bits / 8);
  return true;
}

void sound_to_wave(const SoundFormat& f, uint8_t* data, size_t frames) {
  const size_t n = frames * f.block_align;
  if (f.bits == 8) {
    // WAVE's 8-bit samples are unsigned; a signed sample moves up by 128.
    if (f.signed8 && f.coding == SoundCoding::kInteger)
      for (size_t i = 0; i < n; ++i) data[i] ^= 0x80;
    return;
  }
  if (!f.big_endian) return;
  const size_t width = f.bits / 8;
  for (size_t i = 0; i + width <= n; i += width)
    for (size_t a = i, b = i + width - 1; a < b; ++a, --b) std::swap(data[a], data[b]);
}

std::string describe_sound(const SoundFormat& f) {
  const char* kind = f.coding == SoundCoding::kFloat   ? "float"
                     : f.coding == SoundCoding::kALaw  ? "A-law"
                     : f.coding == SoundCoding::kMuLaw ? "mu-law"
                                                       : "integer";
  char text[128];
  std::snprintf(text, sizeof text, "%u Hz, %u channel%s, %u-bit %s (\"%c%c%c%c\")", f.rate,
                f.channels, f.channels == 1 ? "" : "s", f.bits, kind, f.code[0], f.code[1],
                f.code[2], f.code[3]);
  return text;
}

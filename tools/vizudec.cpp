// tools/vizudec.cpp: decodes a Vozodiva AVI file to an uncompressed one, or checks it.
//
//   vizudec <input.avi> <output.avi>   every frame decoded and written as a 24-bit DIB
//                                      frame, through the same AviWriter that zoduviv -u
//                                      uses, so the output is byte for byte what zoduviv -u
//                                      writes for the same movie
//   vizudec -t <input.avi>             every frame decoded in memory; nothing is written
//
// An uncompressed (DIB) input is copied through the same way. Everything the program has
// to say goes to standard output; the exit status is 0 on success and 1 on every failure.
//
// Frames are numbered from 1 in the messages ("Frame 3 of 10" is the third frame), the way
// a user counts them. A damaged frame while writing stops the run: the output is finished
// as a valid AVI file holding the frames before it, and the message says so.
//
// The output is never the input: an output path that names the input file (through any
// path or link) is refused before anything is opened for writing.
#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>

#include "avi/avi.h"
#include "codec/codec.h"

namespace {

constexpr uint32_t kVizu = 0x555A4956;  // "VIZU" read little-endian
constexpr uint32_t kVizuLower = 0x757A6976;  // "vizu"

void print_usage() {
  std::printf("Usage: vizudec <input.avi> <output.avi>\n");
  std::printf("       vizudec -t <input.avi>\n");
  std::printf("Decodes a Vozodiva compressed avi to an uncompressed avi, or with -t checks\n"
              "that every frame of it decodes, without writing anything.\n");
}

struct Input {
  std::ifstream in;
  uint64_t size = 0;
  AviInfo info;
  bool vizu = false;
  uint64_t total = 0;  // frames to name in messages: the declared count or more
};

// Opens and indexes the input; prints its own message on failure.
[[nodiscard]] bool open_input(const char* path, Input& input) {
  struct stat st;
  if (stat(path, &st) != 0 || !S_ISREG(st.st_mode)) {
    std::printf("Unable to open the input file.\n");
    return false;
  }
  input.in.open(path, std::ios::binary);
  if (!input.in.is_open()) {
    std::printf("Unable to open the input file.\n");
    return false;
  }
  input.size = static_cast<uint64_t>(st.st_size);
  std::string error;
  if (!read_avi(input.in, input.size, input.info, error)) {
    std::printf("Unable to read %s as a Vozodiva or uncompressed AVI file: %s.\n", path,
                error.c_str());
    return false;
  }
  const AviInfo& info = input.info;
  input.vizu = info.compression == kVizu || info.compression == kVizuLower;
  input.total = std::max<uint64_t>(info.length, info.frames.size());
  std::printf("%s: %d x %d, %s, %llu frames\n", path, info.width, info.height,
              input.vizu ? "Vozodiva compressed" : "uncompressed",
              static_cast<unsigned long long>(input.total));
  return true;
}

// True when both paths name one existing file (the same device and inode).
bool same_file(const char* a, const char* b) {
  struct stat sa;
  struct stat sb;
  if (stat(a, &sa) != 0 || stat(b, &sb) != 0) return false;
  return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

// Decodes every frame of the input in turn; the frame pass of both modes. Buffers are
// sized once before the first frame. `sink` gets each decoded DIB frame (with 3 writable
// bytes after it) and returns false to stop.
class FramePass {
 public:
  explicit FramePass(Input& input) : input_(input) {}

  // Sizes the buffers; prints its own message when the geometry cannot be decoded.
  [[nodiscard]] bool begin() {
    const AviInfo& info = input_.info;
    frame_bytes_ = static_cast<size_t>(info.width) * static_cast<size_t>(info.height) * 3;
    if (input_.vizu) {
      if (!decoder_.Begin(info.width, info.height)) {
        std::printf("Frames of %d x %d cannot be decoded.\n", info.width, info.height);
        return false;
      }
      // No frame longer than the encoder's bound is a Vozodiva frame of this geometry, so
      // the read buffer never grows beyond it whatever the file claims.
      const size_t bound = MaxCompressedFrameSize(info.width, info.height);
      size_t largest = 0;
      for (const AviFrame& f : info.frames)
        if (f.damage == nullptr && f.size <= bound) largest = std::max<size_t>(largest, f.size);
      chunk_.reset(new uint8_t[std::max<size_t>(largest, 1)]);
      chunk_capacity_ = largest;
    }
    // A DIB frame is read straight into the frame buffer. Its size must then be one
    // frame, which lies in the file, so the file's length bounds the buffer. Frames whose
    // rows are padded to 4 bytes, as other writers store DIB frames, are read into the
    // chunk buffer and packed, since zoduviv's rows have no filler.
    if (!input_.vizu) {
      row_bytes_ = static_cast<size_t>(info.width) * 3;
      stride_ = (row_bytes_ + 3) & ~size_t{3};
      padded_bytes_ = stride_ * static_cast<size_t>(info.height);
      bool any_packed = false;
      bool any_padded = false;
      for (const AviFrame& f : info.frames) {
        if (f.damage != nullptr) continue;
        any_packed = any_packed || f.size == frame_bytes_;
        any_padded = any_padded || (padded_bytes_ != frame_bytes_ && f.size == padded_bytes_);
      }
      if (any_padded) {
        chunk_.reset(new uint8_t[padded_bytes_]);
        chunk_capacity_ = padded_bytes_;
      }
      if (!any_packed && !any_padded) return true;
    }
    frame_.reset(new uint8_t[frame_bytes_ + 3]);
    return true;
  }

  // Decodes frame i into frame(); false with the reason when it is damaged.
  [[nodiscard]] bool decode(size_t i, const char*& why) {
    const AviFrame& f = input_.info.frames[i];
    if (f.damage != nullptr) {
      why = f.damage;
      return false;
    }
    if (!input_.vizu) return copy_dib(f, why);
    if (f.size > chunk_capacity_) {
      why = "it is longer than any Vozodiva frame of this size";
      return false;
    }
    if (!read_at(f.offset, chunk_.get(), f.size)) {
      why = "its chunk cannot be read";
      return false;
    }
    if (!decoder_.Decode(chunk_.get(), f.size, frame_.get())) {
      why = "it does not decode as a Vozodiva frame";
      return false;
    }
    return true;
  }

  uint8_t* frame() { return frame_.get(); }
  size_t frame_bytes() const { return frame_bytes_; }

 private:
  bool read_at(uint64_t offset, uint8_t* dst, size_t n) {
    input_.in.clear();
    input_.in.seekg(static_cast<std::streamoff>(offset));
    input_.in.read(reinterpret_cast<char*>(dst), static_cast<std::streamsize>(n));
    return static_cast<size_t>(input_.in.gcount()) == n;
  }

  bool copy_dib(const AviFrame& f, const char*& why) {
    const bool packed = f.size == frame_bytes_;
    const bool padded = !packed && chunk_ && f.size == padded_bytes_;
    if (!frame_ || (!packed && !padded)) {
      why = "its size is not that of one uncompressed frame";
      return false;
    }
    if (!read_at(f.offset, packed ? frame_.get() : chunk_.get(), f.size)) {
      why = "its chunk cannot be read";
      return false;
    }
    if (padded) {
      const size_t rows = frame_bytes_ / row_bytes_;
      for (size_t y = 0; y < rows; ++y)
        std::memcpy(frame_.get() + y * row_bytes_, chunk_.get() + y * stride_, row_bytes_);
    }
    return true;
  }

  Input& input_;
  FrameDecoder decoder_;
  size_t frame_bytes_ = 0;
  std::unique_ptr<uint8_t[]> chunk_;
  size_t chunk_capacity_ = 0;
  size_t row_bytes_ = 0;     // DIB input: bytes of one packed row
  size_t stride_ = 0;        // DIB input: one row padded to 4 bytes
  size_t padded_bytes_ = 0;  // DIB input: a frame of padded rows
  std::unique_ptr<uint8_t[]> frame_;
};

int check_file(const char* path) {
  Input input;
  if (!open_input(path, input)) return 1;
  FramePass pass(input);
  if (!pass.begin()) return 1;
  const size_t n = input.info.frames.size();
  for (size_t i = 0; i < n; ++i) {
    const char* why = nullptr;
    if (!pass.decode(i, why)) {
      std::printf("Frame %zu of %llu is damaged: %s.\n", i + 1,
                  static_cast<unsigned long long>(input.total), why);
      return 1;
    }
  }
  std::printf("Checked %zu frames, all decode cleanly\n", n);
  return 0;
}

int decode_file(const char* in_path, const char* out_path) {
  if (same_file(in_path, out_path)) {
    std::printf("The output file %s is the input file; choose another name.\n", out_path);
    return 1;
  }
  Input input;
  if (!open_input(in_path, input)) return 1;
  FramePass pass(input);
  if (!pass.begin()) return 1;

  // The header takes rate and scale as they stand, so that a file zoduviv wrote comes back
  // with the very header zoduviv -u writes. The int conversion keeps the 32 bits, which
  // the writer stores unchanged.
  AviWriter writer;
  if (!writer.init(out_path, input.info.width, input.info.height,
                   static_cast<int>(input.info.rate), static_cast<int>(input.info.scale), 0))
    return 1;
  std::printf("Writing %s, this may take a while...\n", out_path);

  const size_t n = input.info.frames.size();
  for (size_t i = 0; i < n; ++i) {
    const char* why = nullptr;
    if (!pass.decode(i, why)) {
      std::printf("Frame %zu of %llu is damaged: %s.\n", i + 1,
                  static_cast<unsigned long long>(input.total), why);
      if (writer.flush())
        std::printf("The output file %s is incomplete: it holds only the %zu frames before it.\n",
                    out_path, i);
      return 1;
    }
    if (writer.write_frame(pass.frame(), static_cast<int>(pass.frame_bytes()), 0x10) !=
        FrameWrite::kWritten) {
      (void)writer.flush();
      return 1;
    }
  }
  if (!writer.flush()) return 1;
  std::printf("Finished writing file %s\n", out_path);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], "-t") == 0) return check_file(argv[2]);
  if (argc == 3 && argv[1][0] != '-') return decode_file(argv[1], argv[2]);
  if (argc >= 2 && argv[1][0] == '-' && std::strcmp(argv[1], "-t") != 0) {
    std::printf("Unknown option: \"%s\"\n", argv[1]);
    return 1;
  }
  print_usage();
  return 1;
}

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
// Frames are decoded on worker threads, one per core or as ZODUVIV_THREADS says, and
// written in order, so the output is the same for every thread count.
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
#include <vector>

#include "avi/avi.h"
#include "codec/codec.h"
#include "driver/ordered_work.h"

namespace {

constexpr uint32_t kVizu = 0x555A4956;  // "VIZU" read little-endian
constexpr uint32_t kVizuLower = 0x757A6976;  // "vizu"
// The frame buffers and decoders in flight stay within this, whatever the number of cores.
constexpr size_t kInFlightBytes = size_t{2} << 30;

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

// One frame in flight: its chunk as read from the file and the decoded DIB frame.
struct Slot {
  std::unique_ptr<uint8_t[]> chunk;
  std::unique_ptr<uint8_t[]> frame;  // frame_bytes + 3: write_frame zeroes pad bytes there
  uint32_t size = 0;                 // bytes of the chunk read
  const char* why = nullptr;         // null, or why the frame is damaged
};

// Decodes every frame of the input; the frame pass of both modes. Frames are read and
// written in order on the calling thread and decoded on ZODUVIV_THREADS workers, each with
// its own decoder; every buffer is sized once before the first frame.
class FramePass {
 public:
  explicit FramePass(Input& input)
      : input_(input),
        work_(workers_for(input),
              [this](int worker, int slot) { process(worker, slots_[static_cast<size_t>(slot)]); }) {}

  // Decoding workers: none for DIB input, and no more than frames that can be decoded or
  // than kInFlightBytes hold. A worker keeps two frames in flight, each a chunk and a
  // decoded frame, and a decoder of about three frames; the chunk is at most the
  // encoder's bound, about 1.25 frames.
  static int workers_for(const Input& input) {
    if (!input.vizu) return 1;
    size_t usable = 0;
    for (const AviFrame& f : input.info.frames) usable += f.damage == nullptr ? 1 : 0;
    const size_t frame = static_cast<size_t>(input.info.width) * static_cast<size_t>(input.info.height) * 3;
    const size_t per_worker = std::max<size_t>(1, 8 * frame);
    const size_t by_memory = std::max<size_t>(1, kInFlightBytes / per_worker);
    return static_cast<int>(std::min<size_t>({static_cast<size_t>(thread_count()),
                                              std::max<size_t>(usable, 1), by_memory}));
  }

  // Sizes the buffers; prints its own message when the geometry cannot be decoded.
  [[nodiscard]] bool begin() {
    const AviInfo& info = input_.info;
    frame_bytes_ = static_cast<size_t>(info.width) * static_cast<size_t>(info.height) * 3;
    size_t chunk_bytes = 0;
    bool need_frame = true;
    if (input_.vizu) {
      for (int w = 0; w < std::max(work_.workers(), 1); ++w) {
        decoders_.push_back(std::make_unique<FrameDecoder>());
        if (!decoders_.back()->Begin(info.width, info.height)) {
          std::printf("Frames of %d x %d cannot be decoded.\n", info.width, info.height);
          return false;
        }
      }
      // No frame longer than the encoder's bound is a Vozodiva frame of this geometry, so
      // the read buffer never grows beyond it whatever the file claims.
      const size_t bound = MaxCompressedFrameSize(info.width, info.height);
      for (const AviFrame& f : info.frames)
        if (f.damage == nullptr && f.size <= bound) chunk_bytes = std::max<size_t>(chunk_bytes, f.size);
    } else {
      // A DIB frame is read straight into the frame buffer. Its size must then be one
      // frame, which lies in the file, so the file's length bounds the buffer. Frames
      // whose rows are padded to 4 bytes, as other writers store DIB frames, are read into
      // the chunk buffer and packed, since zoduviv's rows have no filler.
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
      if (any_padded) chunk_bytes = padded_bytes_;
      need_frame = any_packed || any_padded;
    }
    chunk_capacity_ = chunk_bytes;
    slots_.resize(static_cast<size_t>(work_.slots()));
    for (Slot& slot : slots_) {
      if (chunk_bytes > 0) slot.chunk.reset(new uint8_t[chunk_bytes]);
      if (need_frame) slot.frame.reset(new uint8_t[frame_bytes_ + 3]);
    }
    work_.start();
    return true;
  }

  // Reads frame i and hands it to a worker. Frames are read as 0, 1, 2, ...
  void read(size_t i) {
    Slot& slot = slot_of(i);
    slot.why = read_frame(input_.info.frames[i], slot);
    work_.submit(static_cast<int>(i));
  }

  // Waits for frame i; its DIB frame, or null with the reason when it is damaged.
  const uint8_t* result(size_t i, const char*& why) {
    work_.wait(static_cast<int>(i));
    Slot& slot = slot_of(i);
    why = slot.why;
    return why ? nullptr : slot.frame.get();
  }

  // Mutable access for the writer, which zeroes the pad bytes behind the frame.
  uint8_t* frame(size_t i) { return slot_of(i).frame.get(); }
  size_t frame_bytes() const { return frame_bytes_; }
  size_t in_flight() const { return slots_.size(); }
  void stop() { work_.stop(); }

 private:
  Slot& slot_of(size_t i) { return slots_[i % slots_.size()]; }

  // Reads the frame's chunk into the slot; the reason when it cannot be read.
  const char* read_frame(const AviFrame& f, Slot& slot) {
    if (f.damage != nullptr) return f.damage;
    if (input_.vizu) {
      if (f.size > chunk_capacity_) return "it is longer than any Vozodiva frame of this size";
      if (!read_at(f.offset, slot.chunk.get(), f.size)) return "its chunk cannot be read";
      slot.size = f.size;
      return nullptr;
    }
    const bool packed = f.size == frame_bytes_;
    const bool padded = !packed && slot.chunk && f.size == padded_bytes_;
    if (!slot.frame || (!packed && !padded)) return "its size is not that of one uncompressed frame";
    if (!read_at(f.offset, packed ? slot.frame.get() : slot.chunk.get(), f.size))
      return "its chunk cannot be read";
    if (padded) {
      const size_t rows = frame_bytes_ / row_bytes_;
      for (size_t y = 0; y < rows; ++y)
        std::memcpy(slot.frame.get() + y * row_bytes_, slot.chunk.get() + y * stride_, row_bytes_);
    }
    return nullptr;
  }

  // Decodes the slot's chunk; runs on a worker.
  void process(int worker, Slot& slot) {
    if (slot.why != nullptr || !input_.vizu) return;
    if (!decoders_[static_cast<size_t>(worker)]->Decode(slot.chunk.get(), slot.size, slot.frame.get()))
      slot.why = "it does not decode as a Vozodiva frame";
  }

  bool read_at(uint64_t offset, uint8_t* dst, size_t n) {
    input_.in.clear();
    input_.in.seekg(static_cast<std::streamoff>(offset));
    input_.in.read(reinterpret_cast<char*>(dst), static_cast<std::streamsize>(n));
    return static_cast<size_t>(input_.in.gcount()) == n;
  }

  Input& input_;
  std::vector<std::unique_ptr<FrameDecoder>> decoders_;  // one per worker
  size_t frame_bytes_ = 0;
  size_t chunk_capacity_ = 0;
  size_t row_bytes_ = 0;     // DIB input: bytes of one packed row
  size_t stride_ = 0;        // DIB input: one row padded to 4 bytes
  size_t padded_bytes_ = 0;  // DIB input: a frame of padded rows
  std::vector<Slot> slots_;
  OrderedWork work_;  // last: its workers stop before the slots and decoders go
};

// Runs the pass over every frame: reads frame i while earlier frames decode, and hands
// each decoded frame to `sink` in order. Returns the index of the first damaged frame
// (its reason in why), or the frame count; sink returning false stops the pass too.
template <typename Sink>
size_t run_pass(FramePass& pass, size_t n, const char*& why, Sink sink) {
  const size_t ahead = pass.in_flight();
  why = nullptr;
  size_t i = 0;
  for (; i < n; ++i) {
    if (i >= ahead && !pass.result(i - ahead, why)) return i - ahead;
    if (i >= ahead && !sink(i - ahead)) return i - ahead;
    pass.read(i);
  }
  for (size_t j = i > ahead ? i - ahead : 0; j < n; ++j) {
    if (!pass.result(j, why) || !sink(j)) return j;
  }
  return n;
}

int check_file(const char* path) {
  Input input;
  if (!open_input(path, input)) return 1;
  FramePass pass(input);
  if (!pass.begin()) return 1;
  const size_t n = input.info.frames.size();
  const char* why = nullptr;
  const size_t bad = run_pass(pass, n, why, [](size_t) { return true; });
  pass.stop();
  if (bad < n) {
    std::printf("Frame %zu of %llu is damaged: %s.\n", bad + 1,
                static_cast<unsigned long long>(input.total), why);
    return 1;
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
  FrameWrite written = FrameWrite::kWritten;
  const char* why = nullptr;
  const size_t stopped = run_pass(pass, n, why, [&](size_t i) {
    written = writer.write_frame(pass.frame(i), static_cast<int>(pass.frame_bytes()), 0x10);
    return written == FrameWrite::kWritten;
  });
  pass.stop();
  if (written == FrameWrite::kError) return 1;
  if (written == FrameWrite::kFull) {
    if (writer.flush())
      std::printf("The output file %s is incomplete: it holds only the %zu frames before it.\n",
                  out_path, stopped);
    return 1;
  }
  if (stopped < n) {
    std::printf("Frame %zu of %llu is damaged: %s.\n", stopped + 1,
                static_cast<unsigned long long>(input.total), why);
    if (writer.flush())
      std::printf("The output file %s is incomplete: it holds only the %zu frames before it.\n",
                  out_path, stopped);
    return 1;
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

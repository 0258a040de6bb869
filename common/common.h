// common/common.h: what several folders share: byte order, the formats' constants and the
// checked reader of untrusted bytes; and the pieces both programs use to move frames from
// one file to another.
//
// Read me first. Every field of a movie is big-endian; every number in an AVI file and in
// a Vozodiva frame is little-endian. Byte order lives here and nowhere else: loads and
// stores go byte by byte, so any alignment is fine. Untrusted bytes (a movie's atoms, an
// AVI file's lists and indexes) are read only through ByteReader, whose every read checks
// that its bytes lie inside the buffer.
//
// A frame pass reads frames at absolute offsets of its input (InputFile, pread, so
// workers read side by side), turns each into what goes into the output on worker
// threads (OrderedWork) and writes them on the calling thread in frame order, so the
// output is the same for every thread count. Memory stays a few frames per worker:
// workers_within_budget keeps the buffers in flight within kInFlightBytes. Nothing here
// prints to standard output; Progress draws on standard error, and only on a terminal.
#ifndef COMMON_COMMON_H_
#define COMMON_COMMON_H_

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

// ---------------------------------------------------------------------------------------
// Byte order.

inline uint16_t load_le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
inline uint32_t load_le32(const uint8_t* p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}
inline uint64_t load_le64(const uint8_t* p) {
  return uint64_t{load_le32(p)} | uint64_t{load_le32(p + 4)} << 32;
}
inline uint16_t load_be16(const uint8_t* p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }
inline uint32_t load_be32(const uint8_t* p) {
  return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | uint32_t{p[3]};
}
inline uint64_t load_be64(const uint8_t* p) {
  return uint64_t{load_be32(p)} << 32 | uint64_t{load_be32(p + 4)};
}
inline void store_le16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
inline void store_le32(uint8_t* p, uint32_t v) {
  store_le16(p, static_cast<uint16_t>(v));
  store_le16(p + 2, static_cast<uint16_t>(v >> 16));
}
inline void store_le64(uint8_t* p, uint64_t v) {
  store_le32(p, static_cast<uint32_t>(v));
  store_le32(p + 4, static_cast<uint32_t>(v >> 32));
}

// ---------------------------------------------------------------------------------------
// The formats' constants.

// A four-character code as its four bytes read little-endian, the form in which an AVI
// reader meets it ("VIZU" is 0x555A4956).
constexpr uint32_t fourcc(const char (&code)[5]) {
  return uint32_t{uint8_t(code[0])} | uint32_t{uint8_t(code[1])} << 8 |
         uint32_t{uint8_t(code[2])} << 16 | uint32_t{uint8_t(code[3])} << 24;
}
// The Vozodiva codec's FourCC, in the video stream's handler and its biCompression.
constexpr uint32_t kFourccVizu = fourcc("VIZU");
// The longest plane of a Vozodiva frame: the range coder's table total may not exceed
// 2^23, so frames of more than this many pixels cannot be compressed.
constexpr uint32_t kMaxChannelBytes = 1u << 23;
// The index flag of a chunk that decodes on its own (every Vozodiva and DIB frame is
// one); the codec hands it back with every frame.
constexpr uint32_t kKeyFrameFlag = 0x10;

// ---------------------------------------------------------------------------------------
// The checked reader of untrusted bytes.

// Reads fields at offsets from the start of a buffer. A field that does not lie wholly
// inside reads as zero and clears ok(), which the caller checks once after a group of
// reads. The checks are written as off <= size && n <= size - off, so they cannot overflow.
class ByteReader {
 public:
  ByteReader(const uint8_t* data, size_t size) : data_(data), size_(size) {}

  const uint8_t* data() const { return data_; }
  size_t size() const { return size_; }
  bool ok() const { return ok_; }

  // True when the n bytes at off lie wholly inside the buffer.
  bool has(size_t off, size_t n) const { return off <= size_ && n <= size_ - off; }
  // True when count entries of entry_size bytes at off lie wholly inside. The count is a
  // claim read from a file, so it is divided, never multiplied.
  bool has_table(size_t off, uint64_t count, size_t entry_size) const {
    return off <= size_ && count <= (size_ - off) / entry_size;
  }
  // The bytes [off, off + n), or null when they do not lie wholly inside.
  const uint8_t* span(size_t off, size_t n) const { return has(off, n) ? data_ + off : nullptr; }

  // The same reads as a result: false, with out untouched, when the field is not inside.
  [[nodiscard]] bool be16(size_t off, uint16_t& out) const { return get(off, out, load_be16); }
  [[nodiscard]] bool be32(size_t off, uint32_t& out) const { return get(off, out, load_be32); }
  [[nodiscard]] bool be64(size_t off, uint64_t& out) const { return get(off, out, load_be64); }
  // The four bytes at off as they stand in the file.
  [[nodiscard]] bool fourcc(size_t off, unsigned char (&out)[4]) const {
    if (!has(off, 4)) return false;
    for (int i = 0; i < 4; ++i) out[i] = data_[off + i];
    return true;
  }

  uint8_t u8(size_t off) { return has(off, 1) ? data_[off] : fail(); }
  uint16_t le16(size_t off) { return has(off, 2) ? load_le16(data_ + off) : fail(); }
  uint32_t le32(size_t off) { return has(off, 4) ? load_le32(data_ + off) : fail(); }
  uint64_t le64(size_t off) { return has(off, 8) ? load_le64(data_ + off) : fail(); }
  uint16_t be16(size_t off) { return has(off, 2) ? load_be16(data_ + off) : fail(); }
  uint32_t be32(size_t off) { return has(off, 4) ? load_be32(data_ + off) : fail(); }
  uint64_t be64(size_t off) { return has(off, 8) ? load_be64(data_ + off) : fail(); }

 private:
  uint8_t fail() {
    ok_ = false;
    return 0;
  }
  template <typename T>
  bool get(size_t off, T& out, T (*load)(const uint8_t*)) const {
    if (!has(off, sizeof(T))) return false;
    out = load(data_ + off);
    return true;
  }
  const uint8_t* data_;
  size_t size_;
  bool ok_ = true;
};

// ---------------------------------------------------------------------------------------
// Moving frames.

// Reads the n bytes at offset of a file into dst; false when they cannot be read. The
// readers of untrusted files (read_movie, read_avi) take their input as one of these and
// ask only for bytes inside the file size they were given.
using ReadAt = std::function<bool(uint64_t offset, unsigned char* dst, size_t n)>;

// A file opened once for reading and never for writing.
class InputFile {
 public:
  InputFile() = default;
  ~InputFile();
  InputFile(const InputFile&) = delete;
  InputFile& operator=(const InputFile&) = delete;

  // Regular files only: a directory opens on some systems but every read from it fails.
  [[nodiscard]] bool open(const char* name);
  uint64_t size() const { return size_; }
  // Reads n bytes at offset; false when they do not lie wholly in the file or the read
  // fails or comes up short. Safe to call from several threads at once.
  [[nodiscard]] bool read_at(uint64_t offset, unsigned char* dst, uint64_t n) const;
  // read_at as a ReadAt, valid while this file lives.
  ReadAt reader() const {
    return
        [this](uint64_t offset, unsigned char* dst, size_t n) { return read_at(offset, dst, n); };
  }

 private:
  int fd_ = -1;
  uint64_t size_ = 0;
};

// True when both paths name one existing file, through any path or link.
bool same_file(const char* a, const char* b);

// The frame buffers (and codecs) in flight stay within this, whatever the number of cores.
constexpr size_t kInFlightBytes = size_t{2} << 30;

// The threads a pass may use: ZODUVIV_THREADS when it holds a number from 1 to 256, else
// the number of available cores.
int thread_count();

// Workers for a pass of `frames` frames whose worker holds bytes_per_worker: no more
// than thread_count(), than the frames (at least 1) or than kInFlightBytes hold (at
// least 1), so a movie of huge frames gets fewer workers instead of running out of memory.
int workers_within_budget(size_t frames, size_t bytes_per_worker);

// Frames processed on worker threads, handed back in frame order. The caller owns a ring
// of slots(); frame i always uses slot i % slots(). With no workers (threads <= 1) each
// frame is processed at once on the caller's thread: the plain single-threaded pass.
// Nothing is allocated per frame.
class OrderedWork {
 public:
  // Frames in flight per worker: one being processed, one read ahead or waiting to be
  // written.
  static constexpr int kSlotsPerWorker = 2;
  using Process = std::function<void(int worker, int slot)>;

  // There are kSlotsPerWorker slots per worker, or max_slots when that is fewer (0: no
  // cap), so max_slots bounds the frames in flight; there are never more workers than slots.
  OrderedWork(int threads, Process process, int max_slots = 0);
  ~OrderedWork();
  OrderedWork(const OrderedWork&) = delete;
  OrderedWork& operator=(const OrderedWork&) = delete;

  int workers() const { return workers_; }
  int slots() const { return slots_; }

  // Runs frames 0 to n - 1: fill(i) prepares slot i % slots() on the calling thread, a
  // worker then calls process(worker, slot), and drain(i) takes the result on the calling
  // thread, in order. Returns the first frame whose drain returned false, or n. The
  // workers are stopped on return.
  size_t run(size_t n, const std::function<void(size_t)>& fill,
             const std::function<bool(size_t)>& drain);

  // The same steps one at a time, for a caller that is handed frames as they come:
  // start, then submit frames 0, 1, 2, ... once their slots are filled, wait for each in
  // that order before its slot is used again, and stop (frames not yet taken are dropped).
  void start();
  void submit(size_t frame);
  void wait(size_t frame);
  void stop();

 private:
  void work(int worker);

  Process process_;
  const int workers_;
  const int slots_;
  std::vector<char> done_;  // per slot, guarded by mutex_ while workers run
  std::vector<std::thread> threads_;
  std::mutex mutex_;
  std::condition_variable work_ready_;
  std::condition_variable frame_done_;
  size_t submitted_ = 0;
  size_t taken_ = 0;
  bool stopping_ = false;
};

// One line on standard error, redrawn at most four times a second, with frames done and
// total, frames per second and time left; erased by finish() or when it goes out of
// scope. Silent unless standard error is a terminal, so standard output and redirected
// runs are never touched.
class Progress {
 public:
  explicit Progress(size_t total);
  ~Progress() { finish(); }
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;
  void update(size_t done);
  void finish();

 private:
  using Clock = std::chrono::steady_clock;
  bool enabled_;
  bool drawn_ = false;
  size_t total_;
  Clock::time_point start_;
  Clock::time_point last_draw_;
};

#endif  // COMMON_COMMON_H_

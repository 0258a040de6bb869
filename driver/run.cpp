#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <memory>
#include <vector>

#include "avi/avi.h"
#include "codec/codec.h"
#include "driver/driver.h"
#include "mov/mov.h"

namespace {

// Bytes write_frame may zero behind a frame in the caller's buffer.
constexpr size_t kPadSlack = 3;

struct InputFile {
  std::ifstream stream;
  uint64_t size = 0;
};

// Opens the movie for reading. Only regular files are movies: a directory opens on some
// systems but every read from it fails.
bool open_input(const char* name, InputFile& input) {
  struct stat st;
  if (::stat(name, &st) != 0 || !S_ISREG(st.st_mode)) return false;
  input.stream.open(name, std::ios::binary);
  if (!input.stream.is_open()) return false;
  input.size = static_cast<uint64_t>(st.st_size);
  return true;
}

// True when output names the input file itself, through any path or link.
bool same_file(const char* input, const char* output) {
  struct stat in_st, out_st;
  if (::stat(input, &in_st) != 0 || ::stat(output, &out_st) != 0) return false;
  return in_st.st_dev == out_st.st_dev && in_st.st_ino == out_st.st_ino;
}

// Reads the head of the movie, at most kHeaderWindowBytes, in one read.
bool read_header_window(InputFile& input, std::vector<unsigned char>& window) {
  const uint64_t want = std::min<uint64_t>(input.size, kHeaderWindowBytes);
  window.resize(static_cast<size_t>(want));
  input.stream.read(reinterpret_cast<char*>(window.data()), static_cast<std::streamsize>(want));
  window.resize(static_cast<size_t>(input.stream.gcount()));
  input.stream.clear();
  return true;
}

// Reads frame i into buffer; false (message printed) when the frame does not lie wholly
// in the file or the read comes up short.
bool read_frame(InputFile& input, int i, uint64_t frame_size, unsigned char* buffer) {
  const uint64_t offset = frame_offsets[static_cast<size_t>(i)];
  const bool inside = offset <= input.size && frame_size <= input.size - offset;
  if (inside) {
    input.stream.seekg(static_cast<std::streamoff>(offset));
    input.stream.read(reinterpret_cast<char*>(buffer), static_cast<std::streamsize>(frame_size));
    if (input.stream && static_cast<uint64_t>(input.stream.gcount()) == frame_size) return true;
    input.stream.clear();
  }
  std::printf("Frame %d of %d lies past the end of the input file or cannot be read; the movie is truncated or damaged.\n",
              i + 1, total_frames);
  return false;
}

// The frame pass: every frame from the movie into the AVI file, in order.
class FramePass {
 public:
  FramePass(const Options& options, const MovieHeader& movie, InputFile& input)
      : options_(options), movie_(movie), input_(input),
        frame_size_(uint64_t(movie.width) * uint64_t(movie.height) * 3) {}

  int run() {
    if (!options_.uncompressed) {
      if (codec_.CompressBegin(movie_.width, movie_.height, 24) != 0) {
        std::printf("The Vozodiva codec cannot compress frames of %dx%d pixels; use -u for an uncompressed AVI file.\n",
                    movie_.width, movie_.height);
        return 1;
      }
    }
    allocate_buffers();

    if (!writer_.init(options_.output, movie_.width, movie_.height, movie_.time_scale,
                      movie_.sample_duration, options_.uncompressed ? 0 : 1)) {
      return 1;
    }
    std::printf("Writing %s, this may take a while...\n", options_.output);

    int written = 0;
    for (int i = 0; i < total_frames; ++i) {
      if (!read_frame(input_, i, frame_size_, read_buffer_.get())) return finish_early(written);
      unsigned char* data = nullptr;
      uint32_t size = 0;
      uint32_t flags = 0;
      convert(data, size, flags);
      switch (writer_.write_frame(data, static_cast<int>(size), static_cast<int>(flags))) {
        case FrameWrite::kWritten:
          ++written;
          break;
        case FrameWrite::kFull:
          return finish_early(written);
        case FrameWrite::kError:
          return 1;
      }
    }
    if (!writer_.flush()) return 1;
    std::printf("Finished writing file %s\n", options_.output);
    return 0;
  }

 private:
  // Two buffers serve by turns as the frame read from the movie, the converted frame and
  // the compressed frame; each is large enough for any of the three, plus the pad bytes
  // the writer zeroes behind a frame.
  void allocate_buffers() {
    size_t capacity = static_cast<size_t>(frame_size_);
    if (!options_.uncompressed)
      capacity = std::max(capacity, MaxCompressedFrameSize(movie_.width, movie_.height));
    capacity += kPadSlack;
    read_buffer_.reset(new unsigned char[capacity]);
    if (movie_.raw || !options_.uncompressed) other_buffer_.reset(new unsigned char[capacity]);
  }

  // Turns the frame in the read buffer into what goes into the AVI file.
  void convert(unsigned char*& data, uint32_t& size, uint32_t& flags) {
    const unsigned char* dib = read_buffer_.get();
    unsigned char* free_buffer = other_buffer_.get();
    if (movie_.raw) {
      raw_to_BGR(read_buffer_.get(), other_buffer_.get(), movie_.width, movie_.height);
      dib = other_buffer_.get();
      free_buffer = read_buffer_.get();
    }
    if (options_.uncompressed) {
      data = const_cast<unsigned char*>(dib);
      size = static_cast<uint32_t>(frame_size_);
      flags = kKeyFrameFlag;
      return;
    }
    ICCOMPRESS icc;
    icc.flags = 0;
    icc.size = static_cast<uint32_t>(frame_size_);
    icc.input = dib;
    icc.output = free_buffer;
    codec_.CompressContinue(&icc, 0);
    data = free_buffer;
    size = icc.size;
    flags = icc.flags;
  }

  // Finishes the AVI file with the frames already written after a frame that could not be
  // read or written; the run still fails.
  int finish_early(int written) {
    if (writer_.flush()) {
      std::printf("Stopped early: %s holds the %d frame%s written before that frame.\n",
                  options_.output, written, written == 1 ? "" : "s");
    }
    return 1;
  }

  const Options& options_;
  const MovieHeader& movie_;
  InputFile& input_;
  const uint64_t frame_size_;
  CodecInst codec_;
  AviWriter writer_;
  std::unique_ptr<unsigned char[]> read_buffer_;
  std::unique_ptr<unsigned char[]> other_buffer_;
};

}  // namespace

int run_conversion(const Options& options) {
  InputFile input;
  if (!open_input(options.input, input)) {
    std::printf("Unable to open the input file.\n");
    return 1;
  }
  if (same_file(options.input, options.output)) {
    std::printf("The output file %s is the input file; choose another name for the AVI file.\n",
                options.output);
    return 1;
  }

  MovieHeader movie;
  {
    std::vector<unsigned char> window;
    read_header_window(input, window);
    if (!read_movie_header(window.data(), window.size(), movie)) return 1;
  }  // the header window is released here; the tables live on in movie

  const uint64_t frame_size = uint64_t(movie.width) * uint64_t(movie.height) * 3;
  if (!calc_frame_offsets(movie.chunk_map.data(), static_cast<int>(movie.chunk_map.size()),
                          movie.chunk_offsets.data(), static_cast<int>(movie.chunk_offsets.size()),
                          frame_size, input.size)) {
    return 1;
  }
  std::printf("%d frames indexed\n", total_frames);

  if (!options.uncompressed && frame_size / 3 > kMaxChannelBytes) {
    std::printf("Frames of %dx%d pixels are too large for the Vozodiva codec; use -u for an uncompressed AVI file.\n",
                movie.width, movie.height);
    return 1;
  }
  // An AVI chunk of the first RIFF list has to hold a whole uncompressed frame.
  if (options.uncompressed && frame_size + 8 + kAviHeaderBytes > kDefaultRiffLimit) {
    std::printf("Frames of %dx%d pixels are too large for an AVI file.\n", movie.width, movie.height);
    return 1;
  }
  // A frame that cannot lie in the input cannot be converted; checking here keeps every
  // buffer sized by a number the file backs.
  if (total_frames > 0 && frame_size > input.size) {
    std::printf("Frame 1 of %d lies past the end of the input file or cannot be read; the movie is truncated or damaged.\n",
                total_frames);
    return 1;
  }

  FramePass pass(options, movie, input);
  return pass.run();
}

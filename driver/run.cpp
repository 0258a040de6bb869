// driver/run.cpp: the conversion run up to the frame pass: the input opened, the movie
// read and indexed, and the frame size checked against what the output can hold.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "avi/avi.h"
#include "codec/codec.h"
#include "common/common.h"
#include "driver/driver.h"
#include "driver/frame_pass.h"
#include "mov/mov.h"

namespace {

// Reads the head of the movie: its first kHeaderWindowBytes, or the whole of a shorter
// movie. A read that fails leaves an empty window, in which no tag is found.
void read_header_window(const InputFile& input, std::vector<unsigned char>& window) {
  window.resize(static_cast<size_t>(std::min<uint64_t>(input.size(), kHeaderWindowBytes)));
  if (!input.read_at(0, window.data(), window.size())) window.clear();
}

}  // namespace

int run_conversion(const Options& options) {
  InputFile input;
  if (!input.open(options.input)) {
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
                          frame_size, input.size())) {
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
  if (total_frames > 0 && frame_size > input.size()) {
    std::printf("Frame 1 of %d lies past the end of the input file or cannot be read; the movie is truncated or damaged.\n",
                total_frames);
    return 1;
  }

  return run_frame_pass(options, movie, input);
}

// driver/run.cpp: the conversion run up to the frame pass: the input opened, the movie
// read and indexed, and the frame size checked against what the output can hold.
#include <cstdint>
#include <cstdio>
#include <vector>

#include "avi/avi.h"
#include "codec/codec.h"
#include "common/common.h"
#include "driver/driver.h"
#include "driver/frame_pass.h"
#include "mov/mov.h"

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
  if (!read_movie(input.size(), input.reader(), movie)) return 1;
  const std::vector<SoundTrack> sounds = find_sound_tracks(movie, input.size());

  const uint64_t frame_size = uint64_t(movie.width) * uint64_t(movie.height) * 3;

  if (!options.uncompressed && frame_size / 3 > kMaxChannelBytes) {
    std::printf(
        "Frames of %dx%d pixels are too large for the Vozodiva codec; use -u for an uncompressed "
        "AVI file.\n",
        movie.width, movie.height);
    return 1;
  }
  // An AVI chunk of the first RIFF list has to hold a whole uncompressed frame.
  if (options.uncompressed && frame_size + 8 + kAviHeaderBytes > kDefaultRiffLimit) {
    std::printf("Frames of %dx%d pixels are too large for an AVI file.\n", movie.width,
                movie.height);
    return 1;
  }
  // A frame that cannot lie in the input cannot be converted; checking here keeps every
  // buffer sized by a number the file backs.
  if (total_frames > 0 && movie.frame_bytes > input.size()) {
    std::printf(
        "Frame 1 of %d lies past the end of the input file or cannot be read; the movie is "
        "truncated or damaged.\n",
        total_frames);
    return 1;
  }

  return run_frame_pass(options, movie, input, sounds);
}

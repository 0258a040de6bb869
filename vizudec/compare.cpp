// vizudec/compare.cpp: vizudec -c, the proof that an AVI file holds exactly a movie's
// pixels. The movie is read with zoduviv's own movie reader, each of its frames is turned
// into DIB rows as zoduviv turns it, and each AVI frame is decoded and compared with it.
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "common/common.h"
#include "mov/mov.h"
#include "vizudec/frame_pass.h"
#include "vizudec/sound.h"
#include "vizudec/vizudec.h"

namespace {

// The movie side of the comparison: its frames, read one at a time.
class MovieFrames {
 public:
  // Opens and indexes the movie; prints the movie reader's messages and false on failure.
  [[nodiscard]] bool open(const char* path) {
    if (!file_.open(path)) {
      std::printf("Unable to open the input file.\n");
      return false;
    }
    std::string messages;
    bool ok = false;
    {
      MovieMessageCapture capture(messages);
      ok = read_movie(file_.size(), file_.reader(), header_);
      if (ok) sounds_ = find_sound_tracks(header_, file_.size());
    }
    if (!ok) {
      std::fputs(messages.c_str(), stdout);
      return false;
    }
    frame_bytes_ = static_cast<size_t>(header_.frame_bytes);
    return true;
  }

  const MovieHeader& header() const { return header_; }
  const std::vector<SoundTrack>& sounds() const { return sounds_; }
  const InputFile& file() const { return file_; }

  // Sizes the buffers once, for a movie whose geometry has been checked.
  void begin() {
    if (total_frames == 0) return;  // then the sizes are claims no frame backs
    read_.reset(new unsigned char[frame_bytes_]);
    dib_.reset(new unsigned char[frame_bytes_]);
  }

  // Frame i as DIB rows, or null when it lies outside the file.
  const unsigned char* frame(size_t i) {
    if (!file_.read_at(frame_offsets[i], read_.get(), frame_bytes_)) return nullptr;
    const size_t row = static_cast<size_t>(header_.width) * 3;
    const size_t stride = static_cast<size_t>(header_.row_stride);
    if (!header_.raw) {
      pack_rows(read_.get(), row, stride, header_.height);
      return read_.get();
    }
    raw_to_BGR(read_.get(), stride, dib_.get(), header_.width, header_.height);
    return dib_.get();
  }

 private:
  InputFile file_;
  MovieHeader header_;
  std::vector<SoundTrack> sounds_;
  size_t frame_bytes_ = 0;
  std::unique_ptr<unsigned char[]> read_;
  std::unique_ptr<unsigned char[]> dib_;
};

// The same geometry and frame count on both sides; prints the difference otherwise.
bool same_shape(const MovieHeader& movie, const AviInput& avi) {
  if (avi.info.width != movie.width || avi.info.height != movie.height) {
    std::printf("The AVI file's frames are %d x %d pixels, the movie's %d x %d.\n", avi.info.width,
                avi.info.height, movie.width, movie.height);
    return false;
  }
  if (avi.info.frames.size() != static_cast<size_t>(total_frames)) {
    std::printf("The AVI file holds %zu frames, the movie %d.\n", avi.info.frames.size(),
                total_frames);
    return false;
  }
  return true;
}

// Prints where DIB frames a and b first differ, reading the picture from its top left.
void print_first_difference(size_t frame, size_t total, const unsigned char* a,
                            const unsigned char* b, int width, int height) {
  const size_t row = static_cast<size_t>(width) * 3;
  for (int y = 0; y < height; ++y) {
    // DIB rows are stored bottom row first.
    const size_t at = static_cast<size_t>(height - 1 - y) * row;
    if (std::memcmp(a + at, b + at, row) == 0) continue;
    size_t k = 0;
    while (a[at + k] == b[at + k]) ++k;
    std::printf(
        "Frame %zu of %zu differs from the movie's: first at column %zu, row %d "
        "(counted from 0 at the top left of the picture).\n",
        frame + 1, total, k / 3, y);
    return;
  }
}

}  // namespace

int compare_file(const char* movie_path, const char* avi_path) {
  MovieFrames movie;
  if (!movie.open(movie_path)) return 1;
  AviInput avi;
  if (!open_avi_input(avi_path, avi, false)) return 1;
  if (!same_shape(movie.header(), avi)) return 1;
  FramePass pass(avi);
  if (!pass.begin()) return 1;
  movie.begin();

  const size_t n = avi.info.frames.size();
  const MovieHeader& h = movie.header();
  Progress progress(n);
  bool differs = false;
  const char* why = nullptr;
  const size_t stopped = pass.run(
      [&](size_t i, uint8_t* decoded) {
        const unsigned char* expected = movie.frame(i);
        if (expected == nullptr) {
          std::printf(
              "Frame %zu of %zu of the movie lies past the end of its file or cannot be read.\n",
              i + 1, n);
          differs = true;
        } else if (std::memcmp(expected, decoded, pass.frame_bytes()) != 0) {
          print_first_difference(i, n, decoded, expected, h.width, h.height);
          differs = true;
        }
        progress.update(i + 1);
        return !differs;
      },
      why);
  progress.finish();
  if (differs) return 1;
  if (stopped < n) {
    std::printf("Frame %zu of %zu is damaged: %s.\n", stopped + 1, n, why);
    return 1;
  }
  uint64_t samples = 0;
  if (!compare_sound(movie.sounds(), movie.file(), avi, samples)) return 1;
  if (movie.sounds().empty()) {
    std::printf("All %zu frames equal the movie's frames\n", n);
  } else {
    std::printf("All %zu frames and all %llu sound samples equal the movie's\n", n,
                static_cast<unsigned long long>(samples));
  }
  return 0;
}

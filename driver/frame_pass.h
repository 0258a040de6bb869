// driver/frame_pass.h: moving every frame from the movie into the AVI file (private to
// the driver).
#ifndef DRIVER_FRAME_PASS_H_
#define DRIVER_FRAME_PASS_H_

#include <vector>

#include "common/common.h"
#include "driver/driver.h"
#include "mov/mov.h"

// Reads, converts, compresses (unless -u) and writes every frame of frame_offsets, and
// the carried sound tracks next to them; returns the exit status. Prints the "Writing"
// and closing messages.
int run_frame_pass(const Options& options, const MovieHeader& movie, const InputFile& input,
                   const std::vector<SoundTrack>& sounds);

#endif  // DRIVER_FRAME_PASS_H_

// driver/driver.h: the command line and the conversion run of zoduviv.
//
// Read me first. Everything the converter has to say goes to standard output with the
// agreed wording (usage, progress, counts found in the movie, failures); the run exits 0
// when the AVI file is complete and 1 on every failure. The movie and its tables are
// untrusted: a frame that lies outside the file stops the pass, the AVI file is finished
// with the frames written before it, and the run says so and exits 1. The input file is
// never opened for writing, and an output name that refers to the input is refused.
#ifndef DRIVER_DRIVER_H_
#define DRIVER_DRIVER_H_

#include <string>

struct Options {
  bool show_usage = false;
  std::string unknown_option;  // set when the first argument is an unknown option
  bool uncompressed = false;
  const char* input = nullptr;
  const char* output = nullptr;
};

// Reads the argument vector; prints nothing.
Options parse_options(int argc, char** argv);

// Prints the two usage lines.
void print_usage();

// The whole conversion of one movie; returns the exit status (0 or 1).
int run_conversion(const Options& options);

#endif  // DRIVER_DRIVER_H_

#include <cstdio>

#include "driver/driver.h"

Options parse_options(int argc, char** argv) {
  Options options;
  const int count = argc - 1;  // the program name does not count
  if (count != 2 && count != 3) {
    options.show_usage = true;
    return options;
  }
  const char* first = argv[1];
  if (first[0] != '-') {
    // A third plain argument is ignored.
    options.input = argv[1];
    options.output = argv[2];
    return options;
  }
  // Only the second character of the option counts: "-u", "-U" and "-uncompressed" all
  // select uncompressed output.
  if (first[1] != 'u' && first[1] != 'U') {
    options.unknown_option = first;
    return options;
  }
  options.uncompressed = true;
  if (count == 2) {
    // An option and a single file name leave no output name.
    options.show_usage = true;
    return options;
  }
  options.input = argv[2];
  options.output = argv[3];
  return options;
}

void print_usage() {
  std::printf("Usage: zoduviv [-u] <.mov file> <output filename>\n");
  std::printf(
      "Use -u if you want to produce an uncomressed avi instead of a\nVozodiva compressed avi.\n");
}

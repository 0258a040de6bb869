// vizudec/main.cpp: the command line of vizudec.
#include <cstdio>
#include <cstring>

#include "vizudec/vizudec.h"

void print_usage() {
  std::printf("Usage: vizudec <input.avi> <output.avi>\n");
  std::printf("       vizudec -t <input.avi>\n");
  std::printf("       vizudec -c <movie.mov> <input.avi>\n");
  std::printf(
      "Decodes a Vozodiva compressed avi to an uncompressed avi, or with -t checks\n"
      "that every frame of it decodes, without writing anything, or with -c checks\n"
      "that its frames are exactly the frames of the movie it was made from.\n");
}

int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], "-t") == 0) return check_file(argv[2]);
  if (argc == 4 && std::strcmp(argv[1], "-c") == 0) return compare_file(argv[2], argv[3]);
  if (argc == 3 && argv[1][0] != '-') return decode_file(argv[1], argv[2]);
  if (argc >= 2 && argv[1][0] == '-' && std::strcmp(argv[1], "-t") != 0 &&
      std::strcmp(argv[1], "-c") != 0) {
    std::printf("Unknown option: \"%s\"\n", argv[1]);
    return 1;
  }
  print_usage();
  return 1;
}

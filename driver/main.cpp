#include <cstdio>

#include "driver/driver.h"

int main(int argc, char** argv) {
  const Options options = parse_options(argc, argv);
  if (options.show_usage) {
    print_usage();
    return 1;
  }
  if (!options.unknown_option.empty()) {
    std::printf("Unknown option: \"%s\"\n", options.unknown_option.c_str());
    return 1;
  }
  return run_conversion(options);
}

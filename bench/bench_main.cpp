// The one main of zoduviv_bench; the benchmarks register themselves from their files.
#include <benchmark/benchmark.h>

BENCHMARK_MAIN();

// The main of every Google Benchmark program here: the benchmark library's
// own table first, then the figures the benchmarks recorded, each beside its
// target.
#include <benchmark/benchmark.h>

#include "figures.h"

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    tavorin::bench::printFigures();
    return 0;
}

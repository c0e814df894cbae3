// SPDX-License-Identifier: MIT
// What the benchmarks of the survey share: a sink for the report, a check
// that a survey gives the report it should, and the per-node counter
// bench/scaling.py reads.
#pragma once

#include <benchmark/benchmark.h>

#include <cstddef>
#include <cstdio>
#include <string>

#include "RootBusSurvey.h"

namespace nROOTSCOPE_1_0 {

// Where the timed reports go: written and buffered as to a file, kept nowhere.
class tNullSink {
public:
#if defined(_WIN32)
    tNullSink() : file_(std::fopen("NUL", "w")) {}
#else
    tNullSink() : file_(std::fopen("/dev/null", "w")) {}
#endif
    ~tNullSink() {
        if (file_ != nullptr) {
            std::fclose(file_);
        }
    }
    tNullSink(const tNullSink&) = delete;
    tNullSink& operator=(const tNullSink&) = delete;
    std::FILE* get() const { return file_; }

private:
    std::FILE* file_;
};

// One survey over the installed services; its report, or "" when it failed.
inline std::string surveyReport() {
    std::FILE* file = std::tmpfile();
    if (file == nullptr) {
        return "";
    }
    const int exitCode = runRootBusSurvey(file, nullptr);
    std::string text;
    std::rewind(file);
    char chunk[4096];
    for (std::size_t got; (got = std::fread(chunk, 1, sizeof chunk, file)) > 0;) {
        text.append(chunk, got);
    }
    std::fclose(file);
    return exitCode == 0 ? text : "";
}

// `per_node`: seconds per node per survey, the figure whose growth with the
// tree's size bench/scaling.py checks.
inline void setPerNodeCounter(benchmark::State& state, std::size_t nodes) {
    state.counters["nodes"] = static_cast<double>(nodes);
    state.counters["per_node"] = benchmark::Counter(
        static_cast<double>(nodes), benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

// The host services, and so their benchmarks, exist only in Linux builds.
void registerHostBenchmarks();
// The host services at the bounds of what the reader takes.
void registerHostBoundsBenchmarks();
// rootscope-headroom's reading and analysis of generated PCI trees.
void registerHeadroomBenchmarks();
// rootscope-headroom's Windows reader over simulated device trees.
void registerWindowsHeadroomBenchmarks();

}  // namespace nROOTSCOPE_1_0

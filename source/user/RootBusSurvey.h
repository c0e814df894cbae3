// SPDX-License-Identifier: MIT
// The root-bus survey: the passes over the root bridges and every line of
// the report.
#pragma once

#include <cstdint>
#include <cstdio>

#include "DevMgr.h"

namespace nROOTSCOPE_1_0 {

// Count pass visitor; context is the std::uint16_t started-root-bus count,
// which stops at its largest value instead of wrapping.
void countStartedRootBus(HDEVINFO set, const SP_DEVINFO_DATA& record, std::uint32_t index, void* context,
                         tStatusBlock& status);

// Range pass visitor; context is the bool limited-range flag, only ever set.
void checkLimitedRange(HDEVINFO set, const SP_DEVINFO_DATA& record, std::uint32_t index, void* context,
                       tStatusBlock& status);

// Details pass visitor; prints one block per node to the report stream set
// by runRootBusSurvey. Context is unused.
void printRootBusDetails(HDEVINFO set, const SP_DEVINFO_DATA& record, std::uint32_t index, void* context,
                         tStatusBlock& status);

// The whole run over the installed device services: banner, summary,
// details and result to `out`, then one character read from `in` to hold
// the console open. Returns the process exit code: 1 when an error was
// recorded, 0 otherwise. `finalStatus`, when given, receives the run status.
int runRootBusSurvey(std::FILE* out, std::FILE* in, tStatusBlock* finalStatus = nullptr);

}  // namespace nROOTSCOPE_1_0

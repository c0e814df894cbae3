// SPDX-License-Identifier: MIT
// One survey run over a simulated tree with planned faults, and the checks
// every such run must pass whatever failed in it.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "ReportShape.h"
#include "SimulatedDeviceTree.h"
#include "StatusBlock.h"

namespace nROOTSCOPE_1_0 {

// Call number (from 1) -> the failure it returns.
using tFaultPlan = std::map<std::uint64_t, CONFIGRET>;

// What a run over a tree must come to without faults, worked out from the
// tree alone by the survey's rules, and every root bridge the walks can
// visit, in the order they visit them.
struct tExpectation {
    tReportShape report;
    std::vector<std::string> bridges;
};
tExpectation expectationOf(const tSimTree& tree);

struct tSurveyRun {
    int exitCode = -1;
    tStatusBlock status{};
    std::string report;
    std::string leaks;  // the tree's leak report; "" when everything went back
    std::vector<tSimCallRecord> log;
    tExpectation expected;  // of the tree without the fault plan
    bool faulted = false;
};

// Runs the whole survey over `tree` with `faults`, the report going to a
// temporary file and standard input at its end.
tSurveyRun runSurvey(const tSimTree& tree, const tFaultPlan& faults = {});

// Runs the whole survey over `services` with `heap` installed, into the
// run's exit code, status and report; a run that cannot start says why in
// its leaks.
void runSurveyWithin(iDeviceServices& services, const tHeap& heap, tSurveyRun& run);

// True when a call came out in a way the survey must treat as the end of its
// device work: a device set that cannot be opened, described or enumerated
// (an enumeration that ends other than with ERROR_NO_MORE_ITEMS), a boot
// configuration or descriptor walk that fails for a reason other than "no
// more", an exhausted heap. Every other failure only changes what is shown.
bool endsDeviceWork(const tSimCallRecord& record);

// What the run must come to, read from its call log alone: the first call
// that ends the device work decides the error code; without one, no error.
struct tVerdict {
    bool error = false;
    std::int32_t code = 0;
    std::size_t call = 0;  // number of the deciding call
};
tVerdict verdictOf(const std::vector<tSimCallRecord>& log);

// Every invariant of a run: nothing leaked or misused, a well-formed report,
// result line, status and exit code agreeing with one another and with the
// verdict, and no device reads after the deciding failure. Without faults
// the report must be the expected one; with them its details blocks must
// name expected bridges in the expected order. Returns "" when all hold,
// else one problem per line.
std::string checkRun(const tSurveyRun& run, tReportShape* shape = nullptr);

// The tree as fixture text for rootscope-sim, to reproduce a failing run.
std::string fixtureText(const tSimTree& tree);

// The plan and the log, compact, for failure messages.
std::string describe(const tFaultPlan& faults);
std::string describe(const std::vector<tSimCallRecord>& log);

}  // namespace nROOTSCOPE_1_0

// The fixture loader over arbitrary text, and, for every text it accepts,
// the whole survey over the tree it describes: each run must pass every
// check the fault sweeps apply (nothing leaked, a well-formed report, the
// report the tree calls for, a result that agrees with the call log).
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "Fixture.h"
#include "SurveyRun.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    nROOTSCOPE_1_0::tSimTree tree;
    std::string error;
    if (!nROOTSCOPE_1_0::parseSimTree(text, tree, error)) {
        if (error.empty() || error.find('\n') != std::string::npos) {
            std::fprintf(stderr, "fixture: a refusal must be one line naming the field: \"%s\"\n", error.c_str());
            std::abort();
        }
        return 0;
    }
    const nROOTSCOPE_1_0::tSurveyRun run = nROOTSCOPE_1_0::runSurvey(tree);
    const std::string problems = nROOTSCOPE_1_0::checkRun(run);
    if (!problems.empty()) {
        std::fprintf(stderr, "fixture: %s\nreport:\n%s\n", problems.c_str(), run.report.c_str());
        std::abort();
    }
    return 0;
}

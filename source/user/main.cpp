// SPDX-License-Identifier: MIT
// rootscope: tells whether this PC's PCI tree can take more expansion
// chassis. Arguments are ignored; the report goes to standard output.
#include <cstdio>

#include "RootBusSurvey.h"
#include "Trace.h"

// The trace facility lives for the whole process and is torn down at exit,
// but nothing in the survey writes to it, so nothing else would make the
// linker take its objects out of the core library. This reference does.
extern const void* const kTraceFacility;
const void* const kTraceFacility = &nHALDOR_1_0::nVORAL000::gTrace;

int main() {
    return nROOTSCOPE_1_0::runRootBusSurvey(stdout, stdin);
}

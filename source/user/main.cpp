// rootscope: tells whether this PC's PCI tree can take more expansion
// chassis. Arguments are ignored; the report goes to standard output.
#include <cstdio>

#include "RootBusSurvey.h"

int main() {
    return rootscope::runRootBusSurvey(stdout, stdin);
}

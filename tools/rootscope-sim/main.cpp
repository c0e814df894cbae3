// rootscope-sim: runs the very survey of rootscope over a simulated device
// tree read from a fixture, then checks that nothing was left held.
//
// Exit codes: the survey's own (0, or 1 when it recorded an error); 2 when
// the command line or the fixture is unusable; 3 when a device set, handle
// or buffer was leaked or misused.
#include <cstdio>
#include <cstring>
#include <string>

#include "Fixture.h"
#include "RootBusSurvey.h"
#include "SimulatedDeviceTree.h"

namespace {

constexpr int kExitUsage = 2;
constexpr int kExitLeak = 3;

int usage() {
    std::fputs("usage: rootscope-sim --tree FIXTURE.json\n", stderr);
    return kExitUsage;
}

int runTree(const char* path) {
    rootscope::tSimTree tree;
    std::string error;
    if (!rootscope::loadSimTree(path, tree, error)) {
        std::fprintf(stderr, "rootscope-sim: %s\n", error.c_str());
        return kExitUsage;
    }
    rootscope::tSimulatedDeviceTree services(std::move(tree));
    int exitCode = 0;
    {
        rootscope::tSimulatedTreeScope scope(services);
        exitCode = rootscope::runRootBusSurvey(stdout, stdin);
    }
    const std::string leaks = services.leakReport();
    if (!leaks.empty()) {
        std::fprintf(stderr, "leak: %s\n", leaks.c_str());
        return kExitLeak;
    }
    return exitCode;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::strcmp(argv[1], "--tree") == 0) {
        return runTree(argv[2]);
    }
    return usage();
}

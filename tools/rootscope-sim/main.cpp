// rootscope-sim: runs the very survey of rootscope over a simulated device
// tree read from a fixture (--tree), or over the Linux host services rooted
// at a directory laid out like a machine's /sys, /dev and /proc
// (--sysroot), then checks that nothing was left held.
//
// Exit codes: the survey's own (0, or 1 when it recorded an error); 2 when
// the command line, the fixture or the directory is unusable; 3 when a
// device set, handle or buffer was leaked or misused.
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>

#include "CountingHeap.h"
#include "Fixture.h"
#include "HeldCounts.h"
#if !defined(_WIN32)
#include "LinuxHostDeviceServices.h"
#endif
#include "RootBusSurvey.h"
#include "SimulatedDeviceTree.h"

namespace {

constexpr int kExitUsage = 2;
constexpr int kExitLeak = 3;

int usage() {
    std::fputs("usage: rootscope-sim --tree FIXTURE.json | --sysroot DIR\n", stderr);
    return kExitUsage;
}

int runTree(const char* path) {
    nROOTSCOPE_1_0::tSimTree tree;
    std::string error;
    if (!nROOTSCOPE_1_0::loadSimTree(path, tree, error)) {
        std::fprintf(stderr, "rootscope-sim: %s\n", error.c_str());
        return kExitUsage;
    }
    nROOTSCOPE_1_0::tSimulatedDeviceTree services(std::move(tree));
    int exitCode = 0;
    {
        nROOTSCOPE_1_0::tSimulatedTreeScope scope(services);
        exitCode = nROOTSCOPE_1_0::runRootBusSurvey(stdout, stdin);
    }
    const std::string leaks = services.leakReport();
    if (!leaks.empty()) {
        std::fprintf(stderr, "leak: %s\n", leaks.c_str());
        return kExitLeak;
    }
    return exitCode;
}

#if !defined(_WIN32)
int runSysroot(const char* directory) {
    std::error_code error;
    if (!std::filesystem::is_directory(directory, error)) {
        std::fprintf(stderr, "rootscope-sim: %s: not a directory\n", directory);
        return kExitUsage;
    }
    nROOTSCOPE_1_0::tLinuxHostDeviceServices services(directory);
    nROOTSCOPE_1_0::tCountingHeap heap;
    int exitCode = 0;
    {
        nROOTSCOPE_1_0::tScopedDeviceServices scope(services);
        const nROOTSCOPE_1_0::tHeap* previousHeap = nROOTSCOPE_1_0::useHeap(&heap.heap());
        exitCode = nROOTSCOPE_1_0::runRootBusSurvey(stdout, stdin);
        nROOTSCOPE_1_0::useHeap(previousHeap);
    }
    const std::string leaks =
        nROOTSCOPE_1_0::describeHeld({services.setsHeld(), services.logConfsHeld(), services.descriptorsHeld(),
                                 heap.buffersHeld(), services.misuses() + heap.misuses()});
    if (!leaks.empty()) {
        std::fprintf(stderr, "leak: %s\n", leaks.c_str());
        return kExitLeak;
    }
    return exitCode;
}
#endif

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::strcmp(argv[1], "--tree") == 0) {
        return runTree(argv[2]);
    }
#if !defined(_WIN32)
    if (argc == 3 && std::strcmp(argv[1], "--sysroot") == 0) {
        return runSysroot(argv[2]);
    }
#endif
    return usage();
}

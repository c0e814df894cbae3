// rootscope-sim: runs the very survey of rootscope over a simulated device
// tree read from a fixture (--tree), or over the Linux host reader rooted at
// a directory laid out like a machine's /sys, /dev and /proc (--sysroot),
// then checks that nothing was left held.
//
// Exit codes: the survey's own (0, or 1 when it recorded an error or its
// report could not be written); 2 when the command line, the fixture or the
// directory is unusable; 3 when a device set, handle or buffer was leaked or
// misused.
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>
#include <utility>

#include "Fixture.h"
#if !defined(_WIN32)
#include "LinuxHostReader.h"
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

int runOver(nROOTSCOPE_1_0::tEmulatedConfigManager& services) {
    int exitCode = 0;
    {
        nROOTSCOPE_1_0::tEmulationScope scope(services);
        exitCode = nROOTSCOPE_1_0::runRootBusSurvey(stdout, stdin);
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
        nROOTSCOPE_1_0::tSimTree tree;
        std::string error;
        if (!nROOTSCOPE_1_0::loadSimTree(argv[2], tree, error)) {
            std::fprintf(stderr, "rootscope-sim: %s\n", error.c_str());
            return kExitUsage;
        }
        nROOTSCOPE_1_0::tSimulatedDeviceTree services(std::move(tree));
        return runOver(services);
    }
#if !defined(_WIN32)
    if (argc == 3 && std::strcmp(argv[1], "--sysroot") == 0) {
        std::error_code error;
        if (!std::filesystem::is_directory(argv[2], error)) {
            std::fprintf(stderr, "rootscope-sim: %s: not a directory\n", argv[2]);
            return kExitUsage;
        }
        nROOTSCOPE_1_0::tLinuxHostDeviceServices services(argv[2]);
        return runOver(services);
    }
#endif
    return usage();
}

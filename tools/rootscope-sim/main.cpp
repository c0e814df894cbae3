// SPDX-License-Identifier: MIT
// rootscope-sim: runs the very survey of rootscope over a simulated device
// tree read from a fixture (--tree), or over the Linux host reader rooted at
// a directory laid out like a machine's /sys, /dev and /proc (--sysroot),
// then checks that nothing was left held. With --fail-read PATH, reading
// the file PATH of the directory (its real path, below DIR) fails with an
// I/O error, as an attribute of a failing device does; with --fail-stat
// PATH, so does every look at PATH itself (a stat, a link read), as on a
// failing disk.
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
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "LinuxHostReader.h"
#endif
#include "RootBusSurvey.h"
#include "SimulatedDeviceTree.h"

namespace {

constexpr int kExitUsage = 2;
constexpr int kExitLeak = 3;

int usage() {
    std::fputs("usage: rootscope-sim --tree FIXTURE.json | --sysroot DIR [--fail-read PATH | --fail-stat PATH]\n",
               stderr);
    return kExitUsage;
}

#if !defined(_WIN32)
// Finds and opens files as the system does, but fails with EIO every read
// of the one file named by --fail-read (a file found but not read), or
// every stat and link read of the path named by --fail-stat (one that
// cannot even be looked at).
struct tFailingRead {
    std::string path;
    bool stat = false;
    int fd = -1;

    static int openAt(int dir, const char* path, int flags, void* context) {
        auto& self = *static_cast<tFailingRead*>(context);
        const int fd = ::openat(dir, path, flags);
        if (fd >= 0 && !self.stat && self.path == path) {
            self.fd = fd;
        }
        return fd;
    }
    static long read(int fd, void* buffer, std::size_t size, void* context) {
        if (fd == static_cast<tFailingRead*>(context)->fd) {
            errno = EIO;
            return -1;
        }
        return static_cast<long>(::read(fd, buffer, size));
    }
    static int statAt(int dir, const char* path, struct stat* info, int flags, void* context) {
        const auto& self = *static_cast<tFailingRead*>(context);
        if (self.stat && self.path == path) {
            errno = EIO;
            return -1;
        }
        return ::fstatat(dir, path, info, flags);
    }
    static long readLinkAt(int dir, const char* path, char* buffer, std::size_t size, void* context) {
        const auto& self = *static_cast<tFailingRead*>(context);
        if (self.stat && self.path == path) {
            errno = EIO;
            return -1;
        }
        return static_cast<long>(::readlinkat(dir, path, buffer, size));
    }
};
#endif

// Over a simulated tree or the machine under a sysroot: either installs
// its services and heap and reports what they still hold.
template <class tDatabase>
int runOver(tDatabase& services) {
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
    const bool failStat = argc == 5 && std::strcmp(argv[3], "--fail-stat") == 0;
    const bool failRead = failStat || (argc == 5 && std::strcmp(argv[3], "--fail-read") == 0);
    if ((argc == 3 || failRead) && std::strcmp(argv[1], "--sysroot") == 0) {
        std::error_code error;
        if (!std::filesystem::is_directory(argv[2], error)) {
            std::fprintf(stderr, "rootscope-sim: %s: not a directory\n", argv[2]);
            return kExitUsage;
        }
        tFailingRead failing{failRead ? argv[4] : "", failStat, -1};
        const nROOTSCOPE_1_0::tFileCalls calls{tFailingRead::openAt, tFailingRead::read, tFailingRead::statAt,
                                               tFailingRead::readLinkAt, &failing};
        const nROOTSCOPE_1_0::tFileCalls* previous = nROOTSCOPE_1_0::useFileCalls(failRead ? &calls : nullptr);
        nROOTSCOPE_1_0::tLinuxHostDeviceServices services(argv[2]);
        const int exitCode = runOver(services);
        nROOTSCOPE_1_0::useFileCalls(previous);
        return exitCode;
    }
#endif
    return usage();
}

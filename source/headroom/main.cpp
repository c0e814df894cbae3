// SPDX-License-Identifier: MIT
// rootscope-headroom: how many PCI bus numbers each root bus of this machine
// has left, and where the next expansion chassis should go.
//
// On Linux it reads sysfs (--sysroot: a copy of another machine's); on
// Windows, SetupAPI and the configuration manager. Built as
// rootscope-headroom-sim for the tests, it also takes --tree FIXTURE.json
// and reads the simulated device tree of that fixture with the Windows
// reader, which reaches the system only through the device-services seam.
// On Windows, and with --tree, --capture FILE writes what the Windows reader
// read as such a fixture instead of the report (Capture.h).
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>

#include "Capture.h"
#include "Headroom.h"
#include "HeadroomReport.h"
#include "WindowsTopologyReader.h"

#if defined(_WIN32)
#include "WindowsHeaders.h"
#else
#include <sys/stat.h>

#include "LinuxTopologyReader.h"
#endif

#if defined(ROOTSCOPE_HEADROOM_HARNESS)
#include "Fixture.h"
#include "SimulatedDeviceTree.h"
#endif

#ifndef ROOTSCOPE_VERSION
#define ROOTSCOPE_VERSION "0"
#endif

namespace {

constexpr int kExitRead = 0;
constexpr int kExitUnreadable = 1;
constexpr int kExitUsage = 2;

#if defined(ROOTSCOPE_HEADROOM_HARNESS)
constexpr int kExitLeak = 3;  // a device set, handle or buffer still held
constexpr const char kProgram[] = "rootscope-headroom-sim";
#else
constexpr const char kProgram[] = "rootscope-headroom";
#endif

#if defined(_WIN32)
#define ROOTSCOPE_HEADROOM_CAPTURE 1
constexpr const char kSynopsis[] = "[--json | --prometheus | --capture FILE]";
#elif defined(ROOTSCOPE_HEADROOM_HARNESS)
#define ROOTSCOPE_HEADROOM_CAPTURE 1
constexpr const char kSynopsis[] = "[--json | --prometheus | --capture FILE] [--sysroot DIR | --tree FIXTURE]";
#else
constexpr const char kSynopsis[] = "[--json | --prometheus] [--sysroot DIR]";
#endif

// The help text of the Linux program is the manual page's synopsis and
// options (tests/package checks that they agree).
std::string helpText() {
    std::string help = std::string("Usage: ") + kProgram + " " + kSynopsis + "\n" + "       " + kProgram +
                       " --help | --version\n"
                       "\n"
                       "Shows, for each PCI root bus of this machine, how many bus numbers its\n"
                       "range holds, how many the PCI tree claims (buses in use, and numbers\n"
                       "reserved for hot-plug below their ports), how many are free, its memory\n"
                       "and I/O windows with what is used, reserved and free of each, what got\n"
                       "no space, and which slot hangs from which root bus; then where to plug\n"
                       "the next expansion chassis.\n"
                       "\n"
                       "Options:\n"
                       "  --json         print one JSON object (format \"rootscope-headroom 1\")\n"
                       "                 instead of the view\n"
                       "  --prometheus   print the same numbers as gauges in the Prometheus text\n"
                       "                 format 0.0.4 instead of the view; a machine that cannot\n"
                       "                 be read gives rootscope_headroom_read_success 0 alone\n";
#if !defined(_WIN32)
    help += "  --sysroot DIR  read the machine laid out under DIR (DIR/sys, DIR/dev/kmsg,\n"
            "                 DIR/proc/iomem) instead of this one\n";
#endif
#if defined(ROOTSCOPE_HEADROOM_HARNESS)
    help += "  --tree FIXTURE read the simulated device tree of FIXTURE (JSON) as\n"
            "                 Windows gives a device tree\n";
#endif
#if defined(ROOTSCOPE_HEADROOM_CAPTURE)
    help += "  --capture FILE write the device tree as Windows shows it to FILE instead\n"
            "                 of the report: what this program reads of each device\n"
            "                 node (ID, state, bus number, address, slot number,\n"
            "                 device and BAR types, the bus numbers, memory and I/O\n"
            "                 of its boot and allocated configurations) and the PCI\n"
            "                 driver's HackFlags; no serial numbers. A machine that\n"
            "                 cannot be read is written too, and exits 1 with the\n"
            "                 reason. rootscope-headroom-sim --tree FILE shows what\n"
            "                 this program shows of the machine\n";
#endif
    help += "  --help         print this help and exit\n"
            "  --version      print the version and exit\n"
            "\n"
            "Exit status: 0 when the machine was read, 1 when it could not be (one\n"
            "line on standard error names what and why), 2 for a usage error.\n";
    return help;
}

int usageError(const std::string& what) {
    std::fprintf(stderr, "%s: %s\n", kProgram, what.c_str());
    std::fprintf(stderr, "Usage: %s %s\nTry '%s --help' for more information.\n", kProgram, kSynopsis, kProgram);
    return kExitUsage;
}

// Writes `text` whole to standard output; false, after saying why on
// standard error, when it could not be written.
bool writeOut(const std::string& text) {
    errno = 0;
    const bool written = std::fwrite(text.data(), 1, text.size(), stdout) == text.size();
    const bool flushed = std::fflush(stdout) == 0;
    if (!written || !flushed || std::ferror(stdout)) {
        const int error = errno != 0 ? errno : EIO;
        std::fprintf(stderr, "%s: cannot write the report: %s\n", kProgram, std::strerror(error));
        return false;
    }
    return true;
}

#if defined(_WIN32)
// Started by a double click, the program is the only one on its console,
// which closes with it: it waits for Enter so that the answer can be read.
// From a prompt the shell shares the console and nothing waits.
void holdConsoleIfAlone() {
    DWORD processes[2];
    if (::GetConsoleProcessList(processes, 2) == 1) {
        std::fputs("\nPress Enter to close this window.\n", stdout);
        std::fflush(stdout);
        (void)std::fgetc(stdin);
    }
}
#endif

struct tOptions {
    bool json = false;
    bool prometheus = false;
    std::string sysroot;
    std::string tree;
    std::string capture;
};

// 0 to go on, else the exit code.
int parse(int argc, char** argv, tOptions& options, bool& done) {
    done = false;
    for (int i = 1; i < argc; ++i) {
        const std::string_view argument(argv[i]);
        std::string* value = nullptr;
#if !defined(_WIN32)
        if (argument == "--sysroot") {
            value = &options.sysroot;
        }
#endif
#if defined(ROOTSCOPE_HEADROOM_HARNESS)
        if (argument == "--tree") {
            value = &options.tree;
        }
#endif
#if defined(ROOTSCOPE_HEADROOM_CAPTURE)
        if (argument == "--capture") {
            value = &options.capture;
        }
#endif
        if (argument == "--help" || argument == "--version") {
            done = true;
            const bool written = writeOut(argument == "--help" ? helpText()
                                                               : std::string(kProgram) + " " + ROOTSCOPE_VERSION +
                                                                     "\n");
            return written ? kExitRead : kExitUnreadable;
        }
        if (argument == "--json" && !options.json) {
            options.json = true;
        } else if (argument == "--prometheus" && !options.prometheus) {
            options.prometheus = true;
        } else if (value != nullptr && value->empty()) {
            if (i + 1 == argc || argv[i + 1][0] == '\0') {
                return usageError(std::string(argument) + " needs a value");
            }
            *value = argv[++i];
        } else if (argument == "--json" || argument == "--prometheus" || value != nullptr) {
            return usageError(std::string(argument) + " given twice");
        } else if (!argument.empty() && argument[0] == '-') {
            return usageError("unknown option " + std::string(argument));
        } else {
            return usageError("unexpected argument " + std::string(argument));
        }
    }
    if (options.json && options.prometheus) {
        return usageError("--json and --prometheus are two formats of one report; give one");
    }
    if (!options.sysroot.empty() && !options.tree.empty()) {
        return usageError("--sysroot and --tree read different machines; give one");
    }
    if (!options.capture.empty() && (options.json || options.prometheus)) {
        return usageError("--capture writes the device tree, not a report; give no format with it");
    }
    if (!options.capture.empty() && !options.sysroot.empty()) {
        return usageError("--capture records a device tree as Windows shows it; a sysroot has none "
                          "(tools/rootscope-capture copies a Linux machine)");
    }
#if defined(ROOTSCOPE_HEADROOM_HARNESS)
    if (!options.capture.empty() && options.tree.empty()) {
        return usageError("--capture needs --tree here: this machine's own tree is Windows'");
    }
#endif
    return kExitRead;
}

#if defined(ROOTSCOPE_HEADROOM_HARNESS)
// Runs `read(failure)` over the simulated tree of `path`; the exit code of
// a failure, or 0.
template <typename tRead>
int onTree(const std::string& path, tRead&& read) {
    std::string failure;
    nROOTSCOPE_1_0::tSimTree tree;
    if (!nROOTSCOPE_1_0::loadSimTree(path, tree, failure)) {
        std::fprintf(stderr, "%s: %s\n", kProgram, failure.c_str());
        return kExitUsage;
    }
    nROOTSCOPE_1_0::tSimulatedDeviceTree services(std::move(tree));
    bool done = false;
    {
        nROOTSCOPE_1_0::tEmulationScope scope(services);
        done = read(failure);
    }
    if (const std::string leaks = services.leakReport(); !leaks.empty()) {
        std::fprintf(stderr, "leak: %s\n", leaks.c_str());
        return kExitLeak;
    }
    if (!done) {
        std::fprintf(stderr, "%s: cannot read %s\n", kProgram, failure.c_str());
        return kExitUnreadable;
    }
    return kExitRead;
}
#endif

#if defined(ROOTSCOPE_HEADROOM_CAPTURE)
// Captures the device tree into the options' file; the exit code. A machine
// the reader fails on is captured all the same, since its file replays to
// the same failure: it is written, and the program then exits as it does
// without --capture, with the reader's line.
int captureMachine(const tOptions& options) {
    nROOTSCOPE_1_0::tCapture capture;
    const auto read = [&capture](std::string& failure) {
        return nROOTSCOPE_1_0::captureDeviceTree(capture, failure);
    };
#if defined(ROOTSCOPE_HEADROOM_HARNESS)
    const int readExit = onTree(options.tree, read);
#else
    int readExit = kExitRead;
    if (std::string failure; !read(failure)) {
        std::fprintf(stderr, "%s: cannot read %s\n", kProgram, failure.c_str());
        readExit = kExitUnreadable;
    }
#endif
    if (capture.fixture.empty() || (readExit != kExitRead && readExit != kExitUnreadable)) {
        return readExit != kExitRead ? readExit : kExitUnreadable;
    }
    std::string reason;
    if (!nROOTSCOPE_1_0::writeFileWhole(options.capture, capture.fixture, reason)) {
        std::fprintf(stderr, "%s: cannot write %s: %s\n", kProgram, options.capture.c_str(), reason.c_str());
        return kExitUnreadable;
    }
    if (readExit != kExitRead) {
        return readExit;
    }
    const auto count = [](std::size_t n, const char* what) {
        return std::to_string(n) + " " + what + (n == 1 ? "" : "s");
    };
    return writeOut("Wrote " + count(capture.nodes, "device node") + " with " + count(capture.roots, "root bridge") +
                    " to " + options.capture + ".\n")
               ? kExitRead
               : kExitUnreadable;
}
#endif

// Reads the machine the options name; the exit code of a failure, or 0.
int readMachine(const tOptions& options, nROOTSCOPE_1_0::tTopology& topology) {
    std::string failure;
#if defined(ROOTSCOPE_HEADROOM_HARNESS)
    if (!options.tree.empty()) {
        return onTree(options.tree, [&topology](std::string& why) {
            return nROOTSCOPE_1_0::readWindowsTopology(topology, why);
        });
    }
#endif
#if defined(_WIN32)
    (void)options;
    if (!nROOTSCOPE_1_0::readWindowsTopology(topology, failure)) {
        std::fprintf(stderr, "%s: cannot read %s\n", kProgram, failure.c_str());
        return kExitUnreadable;
    }
#else
    const std::string root = options.sysroot.empty() ? "/" : options.sysroot;
    struct stat info {};
    if (!options.sysroot.empty() && (::stat(root.c_str(), &info) != 0 || !S_ISDIR(info.st_mode))) {
        return usageError(root + ": not a directory");
    }
    nROOTSCOPE_1_0::tReadFailure why;
    if (!nROOTSCOPE_1_0::readLinuxTopology(root, topology, why)) {
        std::fprintf(stderr, "%s: cannot read %s\n", kProgram, why.describe().c_str());
        return kExitUnreadable;
    }
#endif
    return kExitRead;
}

int run(int argc, char** argv) {
    tOptions options;
    bool done = false;
    if (const int exitCode = parse(argc, argv, options, done); exitCode != kExitRead || done) {
        return exitCode;
    }
#if defined(ROOTSCOPE_HEADROOM_CAPTURE)
    if (!options.capture.empty()) {
        return captureMachine(options);
    }
#endif
    nROOTSCOPE_1_0::tTopology topology;
    if (const int exitCode = readMachine(options, topology); exitCode != kExitRead) {
        // A collector scraping the output learns of the failure from the
        // gauge; the reason is on standard error as for every format.
        if (exitCode == kExitUnreadable && options.prometheus) {
            (void)writeOut(nROOTSCOPE_1_0::headroomMetricsUnread());
        }
        return exitCode;
    }
    const nROOTSCOPE_1_0::tHeadroom headroom = nROOTSCOPE_1_0::analyseHeadroom(topology);
    const std::string report = options.json         ? nROOTSCOPE_1_0::headroomJson(headroom)
                               : options.prometheus ? nROOTSCOPE_1_0::headroomMetrics(headroom)
                                                    : nROOTSCOPE_1_0::headroomView(headroom, topology.kernelLogClosed);
    return writeOut(report) ? kExitRead : kExitUnreadable;
}

}  // namespace

int main(int argc, char** argv) {
    const int exitCode = run(argc, argv);
#if defined(_WIN32)
    holdConsoleIfAlone();
#endif
    return exitCode;
}

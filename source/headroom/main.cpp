// rootscope-headroom: how many PCI bus numbers each root bus of this machine
// has left, and where the next expansion chassis should go.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <sys/stat.h>

#include "Headroom.h"
#include "HeadroomReport.h"
#include "LinuxTopologyReader.h"

#ifndef ROOTSCOPE_VERSION
#define ROOTSCOPE_VERSION "0"
#endif

namespace {

constexpr int kExitRead = 0;
constexpr int kExitUnreadable = 1;
constexpr int kExitUsage = 2;

// The help text; the manual page's synopsis and options say the same.
constexpr const char kHelp[] =
    "Usage: rootscope-headroom [--json] [--sysroot DIR]\n"
    "       rootscope-headroom --help | --version\n"
    "\n"
    "Shows, for each PCI root bus of this machine, how many bus numbers its\n"
    "range holds, how many the PCI tree claims (buses in use, and numbers\n"
    "reserved for hot-plug below their ports), how many are free, and which\n"
    "slot hangs from which root bus; then where to plug the next expansion\n"
    "chassis.\n"
    "\n"
    "Options:\n"
    "  --json         print one JSON object (format \"rootscope-headroom 1\")\n"
    "                 instead of the view\n"
    "  --sysroot DIR  read the machine laid out under DIR (DIR/sys, DIR/dev/kmsg,\n"
    "                 DIR/proc/iomem) instead of this one\n"
    "  --help         print this help and exit\n"
    "  --version      print the version and exit\n"
    "\n"
    "Exit status: 0 when the machine was read, 1 when it could not be (one\n"
    "line on standard error names what and why), 2 for a usage error.\n";

int usageError(const std::string& what) {
    std::fprintf(stderr, "rootscope-headroom: %s\n", what.c_str());
    std::fputs("Usage: rootscope-headroom [--json] [--sysroot DIR]\n"
               "Try 'rootscope-headroom --help' for more information.\n",
               stderr);
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
        std::fprintf(stderr, "rootscope-headroom: cannot write the report: %s\n", std::strerror(error));
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    bool json = false;
    std::string root = "/";
    bool rootGiven = false;
    for (int i = 1; i < argc; ++i) {
        const std::string_view argument(argv[i]);
        if (argument == "--help") {
            return writeOut(kHelp) ? kExitRead : kExitUnreadable;
        }
        if (argument == "--version") {
            return writeOut(std::string("rootscope-headroom ") + ROOTSCOPE_VERSION + "\n") ? kExitRead
                                                                                          : kExitUnreadable;
        }
        if (argument == "--json" && !json) {
            json = true;
        } else if (argument == "--sysroot" && !rootGiven) {
            if (i + 1 == argc) {
                return usageError("--sysroot needs a directory");
            }
            root = argv[++i];
            rootGiven = true;
        } else if (argument == "--json" || argument == "--sysroot") {
            return usageError(std::string(argument) + " given twice");
        } else if (!argument.empty() && argument[0] == '-') {
            return usageError("unknown option " + std::string(argument));
        } else {
            return usageError("unexpected argument " + std::string(argument));
        }
    }
    struct stat info {};
    if (rootGiven && (::stat(root.c_str(), &info) != 0 || !S_ISDIR(info.st_mode))) {
        return usageError(root + ": not a directory");
    }

    nROOTSCOPE_1_0::tTopology topology;
    nROOTSCOPE_1_0::tReadFailure failure;
    if (!nROOTSCOPE_1_0::readLinuxTopology(root, topology, failure)) {
        std::fprintf(stderr, "rootscope-headroom: cannot read %s\n", failure.describe().c_str());
        return kExitUnreadable;
    }
    const nROOTSCOPE_1_0::tHeadroom headroom = nROOTSCOPE_1_0::analyseHeadroom(topology);
    const std::string report = json ? nROOTSCOPE_1_0::headroomJson(headroom)
                                    : nROOTSCOPE_1_0::headroomView(headroom, topology.kernelLogClosed);
    return writeOut(report) ? kExitRead : kExitUnreadable;
}

// SPDX-License-Identifier: MIT
#include "RootBusSurvey.h"

#include <cerrno>
#include <cinttypes>
#include <cstring>
#include <limits>
#include <string>

#include "DeviceServices.h"

namespace nROOTSCOPE_1_0 {

namespace {

// Where the report goes, and the reason the first write that failed gave.
struct tReport {
    std::FILE* out;
    int failure;
};

// The report of the run under way, where the details visitor prints.
tReport* gReport = nullptr;

void noteWrite(tReport& report, int result) {
    if (result < 0 && report.failure == 0) {
        report.failure = errno != 0 ? errno : EIO;
    }
}

const char* const kRootBridgePatterns[] = {kPciRootBridgePattern, kPciExpressRootBridgePattern};

const char* const kBanner[] = {
    "\n",
    "===Kestova Resource Root Bus Detection Utility===\n",
    " This utility determines the number of PCI/PCI Express root bus\n",
    " devices on your system and whether there are any bus number\n",
    " range limitations that could cause hardware problems.\n",
    "\n",
    "===SUMMARY===\n",
};

const char* const kMultipleRootBuses[] = {
    "Multiple root buses detected.\n",
    "   Your system has multiple PCI root buses, which divides the overall\n",
    "   available resources and bus numbers. To troubleshoot Linkvane\n",
    "   functionality, contact your computer's manufacturer to determine\n",
    "   the best PCI-Express slots to connect expansion chassis.\n",
    "   Typically, a PCI-Express slot attached to the root bus with the\n",
    "   larger amount of bus numbers is preferable.\n",
};

const char* const kSingleRootBus[] = {
    "Single root bus detected.\n",
    "   Your system has a single PCI root bus.\n",
};

const char* const kLimitedRange[] = {
    "Root bus has a limited range.\n",
    "   Your system BIOS has a set limit on the range of bus numbers\n",
    "   you can assign to your PCI tree. In Windows XP, this limit is ignored\n",
    "   and has no impact. In Windows Vista and later, the limit is strictly\n",
    "   enforced and cannot be exceeded. As such, the amount of Linkvane\n",
    "   hardware you can attach is limited. Refer to the bus number range\n",
    "   below for your system's limitations.\n",
};

const char* const kFullRange[] = {
    "Root bus has full use of all bus numbers.\n",
    "   Your system's PCI tree can handle the full range of bus\n",
    "   numbers -- 0x00 (0) to 0xFF (255). Bus numbers should\n",
    "   not be a limiting factor in your Linkvane hardware functionality.\n",
};

const char* const kNoRootBus[] = {
    "PCI bus not found.\n",
    "   Either this system does not support PCI/PCI Express, or the\n",
    "   root bus could not be found due to errors. Consult your computer's\n",
    "   documentation or troubleshoot any root bus device errors.\n",
};

void print(tReport& report, const char* text) {
    noteWrite(report, std::fputs(text, report.out));
}

template <std::size_t N>
void printLines(tReport& report, const char* const (&lines)[N]) {
    for (const char* line : lines) {
        print(report, line);
    }
}

void walkRootBridges(tDeviceVisitor visitor, void* context, tStatusBlock& status) {
    for (const char* pattern : kRootBridgePatterns) {
        forEachMatchingDevice(pattern, visitor, context, status);
    }
}

}  // namespace

void countStartedRootBus(HDEVINFO, const SP_DEVINFO_DATA& record, std::uint32_t, void* context,
                         tStatusBlock& status) {
    if (status.isError()) {
        return;
    }
    auto& count = *static_cast<std::uint16_t*>(context);
    if (isNodeStarted(record.DevInst) && count < std::numeric_limits<std::uint16_t>::max()) {
        ++count;
    }
}

void checkLimitedRange(HDEVINFO, const SP_DEVINFO_DATA& record, std::uint32_t, void* context, tStatusBlock& status) {
    if (status.isError()) {
        return;
    }
    std::int32_t low = -1;
    std::int32_t high = -1;
    getBusNumberRange(record.DevInst, low, high, BOOT_LOG_CONF, status);
    if (status.isError()) {
        return;
    }
    const bool fullRange = low == 0 && high == 255;
    if (isNodeStarted(record.DevInst) && low >= 0 && high >= 0 && !fullRange) {
        *static_cast<bool*>(context) = true;
    }
}

void printRootBusDetails(HDEVINFO, const SP_DEVINFO_DATA& record, std::uint32_t, void*, tStatusBlock& status) {
    if (status.isError()) {
        return;
    }
    tReport standalone{stdout, 0};
    tReport& report = gReport != nullptr ? *gReport : standalone;

    // An ID that cannot be read prints as empty; the failure stays with the
    // node and never reaches the run.
    char id[kInstanceIdBufferSize];
    tStatusBlock scratch = makeStatusBlock();
    readInstanceId(record.DevInst, id, scratch);

    std::int32_t low = -1;
    std::int32_t high = -1;
    getBusNumberRange(record.DevInst, low, high, BOOT_LOG_CONF, status);
    if (status.isError() || low < 0 || high < 0) {
        print(report, "\n");
        noteWrite(report, std::fprintf(report.out, "!---- %s : Error Retrieving Bus Number Range ----!\n", id));
        return;
    }
    print(report, "\n");
    noteWrite(report, std::fprintf(report.out, "----- Root Bus: %s -----\n", id));
    noteWrite(report, std::fprintf(report.out, "Bus Number Range: [%x, %x]\n", static_cast<unsigned>(low),
                                   static_cast<unsigned>(high)));
    print(report, "Status: ");
    print(report, isNodeStarted(record.DevInst) ? "Device is running\n"
                                                : "Phantom Device (previously attached/not currently running)\n");
}

int runRootBusSurvey(std::FILE* out, std::FILE* in, tStatusBlock* finalStatus) {
    tStatusBlock status = makeStatusBlock();
    tReport report{out, 0};
    tReport* const previousReport = gReport;
    gReport = &report;

    std::uint16_t startedRootBuses = 0;
    walkRootBridges(countStartedRootBus, &startedRootBuses, status);

    printLines(report, kBanner);
    if (startedRootBuses >= 2) {
        printLines(report, kMultipleRootBuses);
    } else if (startedRootBuses == 1) {
        printLines(report, kSingleRootBus);
        bool limitedRange = false;
        walkRootBridges(checkLimitedRange, &limitedRange, status);
        if (limitedRange) {
            printLines(report, kLimitedRange);
        } else {
            printLines(report, kFullRange);
        }
    } else {
        printLines(report, kNoRootBus);
    }

    print(report, "\n===DETAILS===\n");
    if (!status.isError()) {
        walkRootBridges(printRootBusDetails, nullptr, status);
    }
    print(report, "\n\n");

    if (status.isError()) {
        print(report, "This utility ran with error(s).\n");
        noteWrite(report, std::fprintf(out, "Result code: %" PRId32 "\n", status.code));
    } else {
        print(report, "This utility ran with no errors.\n");
    }
    // Everything must be on the screen before the wait for Enter, and a
    // report that did not get there is no success.
    noteWrite(report, std::fflush(out));
    if (report.failure == 0 && std::ferror(out)) {
        report.failure = EIO;
    }
    // The report says only that the device database could not be read; the
    // person running the program also needs to know what, and why.
    if (status.isError()) {
        const std::string unread = deviceServices().describeDatabaseFailure();
        if (!unread.empty()) {
            std::fprintf(stderr, "rootscope: cannot read %s\n", unread.c_str());
        }
    }
    if (report.failure != 0) {
        std::fprintf(stderr, "rootscope: cannot write the report: %s\n", std::strerror(report.failure));
    }
    gReport = previousReport;

    if (in != nullptr) {
        (void)std::fgetc(in);
    }
    if (finalStatus != nullptr) {
        *finalStatus = status;
    }
    return status.isError() || report.failure != 0 ? 1 : 0;
}

}  // namespace nROOTSCOPE_1_0

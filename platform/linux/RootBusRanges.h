// SPDX-License-Identifier: MIT
// The bus-number range of each root bus, as the Linux kernel published it:
// one rule for every program that reports one, so that they never disagree.
//
// In order:
// 1. the kernel log's "ACPI: PCI Root Bridge [NAME] (domain DDDD [bus
//    BB-YY])" for the bridge's domain, first bus and ACPI name;
// 2. the log's "pci_bus DDDD:BB: root bus resource [bus BB-YY]" for its
//    domain and first bus (printed for every host bridge, those without an
//    ACPI node too);
// 3. the ECAM / MMCONFIG window of /proc/iomem that holds the bus, stopped
//    one below the next root bus of the same domain: the window is shared
//    by every root bus inside it, so it bounds the range from above;
// 4. else no range: never a guess.
// When a bridge was announced more than once, the last line counts. The log
// is read up to 8 MiB and /proc/iomem up to 1 MiB; a line cut by the bound,
// or holding a NUL, is dropped.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "LinuxHostParsers.h"
#include "Sysroot.h"

namespace nROOTSCOPE_1_0 {

enum class tRangeSource { kKernelLog, kEcam };

struct tRootBusRange {
    std::uint32_t first = 0;
    std::uint32_t last = 0;
    tRangeSource source = tRangeSource::kKernelLog;
};

// The host bridges at the top of sys/devices ("pciDDDD:BB"), in no order.
// A machine without sys/devices has none; one whose sys/devices loops
// cannot be read.
bool readTopHostBridges(const tSysroot& root, std::vector<tRootBus>& buses, tReadFailure& failure);

class tRootBusRangeReader {
public:
    // `rootBuses`: every root bus of the machine, for where a shared window
    // stops.
    tRootBusRangeReader(const tSysroot& root, std::vector<tRootBus> rootBuses);

    // The range of `bus`, whose host bridge the kernel log names `acpiName`
    // ("" when it has no ACPI node). The log is read at the first call and
    // /proc/iomem when first needed. False, with the failure, when either
    // could not be read; a log absent or closed to the user is no failure.
    bool rangeOf(tRootBus bus, std::string_view acpiName, std::optional<tRootBusRange>& range,
                 tReadFailure& failure);

    // The log was there but closed to this user (kernel.dmesg_restrict):
    // only root sees the firmware's own ranges.
    bool kernelLogClosed() const { return logClosed_; }

private:
    const tSysroot& root_;
    std::vector<tRootBus> rootBuses_;
    bool logRead_ = false;
    bool logClosed_ = false;
    std::optional<tAnnouncedRanges> announced_;
    std::optional<tBusResourceRanges> resources_;
    std::optional<tWindowRanges> windows_;
};

}  // namespace nROOTSCOPE_1_0

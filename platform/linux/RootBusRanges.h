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
//
// The same one reading of the log, and of /proc/iomem, gives the address
// windows of each root bus and the resources the kernel found no space for
// (windowsOf(), assignmentLines()).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
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

// Where a root bus's address windows were read.
enum class tWindowSource { kKernelLog, kProc };

struct tRootWindows {
    std::vector<tAddressWindow> windows;  // I/O first, then memory, each in address order
    tWindowSource source = tWindowSource::kKernelLog;
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

    // The I/O and memory windows of `bus`'s host bridge; `acpiNode` when an
    // ACPI node is bound to it. In order:
    // 1. the log's "root bus resource" lines for the bus, those after its
    //    last "PCI host bridge to bus" line. An ACPI host bridge forwards
    //    only the ranges its _CRS produces, printed with " window"; a range
    //    printed without is one it uses itself (its configuration window),
    //    unless no line has " window" (pci=nocrs, or no _CRS). A host
    //    bridge described otherwise (device tree, VMD) forwards every range
    //    it prints. A line disabled is no window;
    // 2. where /proc/iomem shows addresses (to root only), its "PCI Bus
    //    DDDD:BB" entries for the bus, but for one that is exactly an ECAM
    //    window, and those of /proc/ioports; memory only ever as
    //    non-prefetchable, since neither file says;
    // 3. else none: unknown.
    // A line that names an impossible range makes the windows unknown and
    // is said in `problems`. False, with the failure, when a file could not
    // be read.
    bool windowsOf(tRootBus bus, bool acpiNode, std::optional<tRootWindows>& windows,
                   std::vector<std::string>& problems, tReadFailure& failure);

    // The log's lines on the assignment of resources, in log order; none
    // where the log is absent or closed.
    bool assignmentLines(const std::vector<tAssignmentLine>*& lines, tReadFailure& failure);

private:
    bool readLog(tReadFailure& failure);
    bool readIomem(tReadFailure& failure);
    bool readIoports(tReadFailure& failure);

    const tSysroot& root_;
    std::vector<tRootBus> rootBuses_;
    bool logRead_ = false;
    bool logClosed_ = false;
    std::optional<tAnnouncedRanges> announced_;
    std::optional<tBusResourceRanges> resources_;
    std::optional<tWindowRanges> windows_;
    // From the log: the root buses an ACPI root bridge was announced for,
    // the resource lines of each root bus, the assignment lines.
    std::unordered_set<std::uint64_t> acpiRoots_;
    std::unordered_map<std::uint64_t, std::vector<tRootWindowLine>> logWindows_;
    std::vector<tAssignmentLine> assignments_;
    // From /proc/iomem: whether it is there and shows addresses, and the
    // "PCI Bus" entries of each bus; from /proc/ioports, the same.
    struct tProcWindows {
        bool read = false;
        bool present = false;
        bool showsAddresses = false;
        std::unordered_map<std::uint64_t, std::vector<tAddressWindow>> byBus;
    };
    tProcWindows iomem_;
    tProcWindows ioports_;
};

}  // namespace nROOTSCOPE_1_0

// SPDX-License-Identifier: MIT
// The PCI topology of a machine as a reader found it: its root buses with
// their ranges and address windows, the PCI functions below each with
// their BARs, which of them are bridges and with what windows, and the
// slots. The Linux reader (sysfs) and
// the Windows reader (SetupAPI and the configuration manager) fill it; the
// analysis (Headroom.h) and both views read only this.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "PciAddress.h"

namespace nROOTSCOPE_1_0 {

// The resources a chassis needs. I/O ports are one address space, memory
// and prefetchable memory share another; bus numbers are a third.
enum class tResourceKind : std::uint8_t {
    kBusNumbers,
    kIo,
    kMemory,        // non-prefetchable memory
    kPrefetchable,  // prefetchable memory
};

// Where a window was read.
enum class tWindowOrigin : std::uint8_t {
    kKernelLog,          // the bridge's announcement, "root bus resource" lines
    kIomem,              // /proc/iomem, as root sees it
    kSysfs,              // a function's resource file
    kConfig,             // a bridge's configuration header (bytes 0x1c-0x31)
    kDescriptor,         // a configuration's descriptor (Windows)
    kEcam,               // the configuration window shared by the root buses inside it: a bound
    kBootConfiguration,  // the firmware's boot configuration (Windows)
};

// An address range of one kind that a root bus or a bridge forwards.
// `last` is below 2^64 - 1, so that every size fits in 64 bits; readers
// refuse what does not.
struct tWindow {
    tResourceKind kind = tResourceKind::kMemory;
    std::uint64_t first = 0;
    std::uint64_t last = 0;
    tWindowOrigin origin = tWindowOrigin::kSysfs;
    bool exact = true;  // false: only a bound of the real window
};

// A root bus's range of bus numbers, as a window of that kind: one from the
// ECAM window only bounds the firmware's own from above.
inline tWindow busRange(std::uint32_t first, std::uint32_t last, tWindowOrigin origin) {
    return {tResourceKind::kBusNumbers, first, last, origin, origin != tWindowOrigin::kEcam};
}

// A resource a function decodes: a BAR, its ROM, a BAR of its SR-IOV
// virtual functions (all of them together), as the kernel names it.
struct tBar {
    std::string name;  // "BAR 0", "ROM", "VF BAR 2"
    tResourceKind kind = tResourceKind::kMemory;  // kIo, kMemory or kPrefetchable
    std::uint64_t first = 0;
    std::uint64_t last = 0;
    bool is64 = false;
    // The largest size the card could ask for (Resizable BAR), where known.
    std::optional<std::uint64_t> resizableMax;
};

// A resource that got no space, as the kernel logged it in the end.
struct tUnassigned {
    tPciAddress address;
    std::string resource;  // "BAR 1", "ROM", "VF BAR 0", "bridge window"
    tResourceKind kind = tResourceKind::kMemory;
    std::uint64_t size = 0;
    bool is64 = false;
};

// One PCI function below a root bus.
struct tPciFunction {
    tPciAddress address;
    // The bridge directly above it; none when it sits on the root bus.
    std::optional<tPciAddress> parent;
    // An SR-IOV virtual function: it may sit on a bus of its own that no
    // bridge leads to, beside its physical function's bus.
    bool virtualFunction = false;

    // A bridge has a bus-number window [secondary, subordinate]. Either is
    // missing when it could not be read; `unreadable` then says why.
    bool bridge = false;
    std::optional<std::uint32_t> secondary;
    std::optional<std::uint32_t> subordinate;
    std::string unreadable;
    // The window was worked out from the functions below the bridge, not
    // read: the secondary is exact, the subordinate only a lower bound.
    bool inferred = false;
    // Nothing below the bridge shows its window (an empty port on Windows):
    // its numbers, claimed or not, cannot be seen.
    bool windowHidden = false;

    // Its assigned BARs, ROM and VF BARs, in the kernel's order.
    std::vector<tBar> bars;
    // A bridge's open address windows (I/O, memory, prefetchable); a closed
    // or absent one is not listed.
    std::vector<tWindow> windows;
};

// A function the system stopped, with the problem it gives (Windows: the
// CM_PROB_* number of a node with DN_HAS_PROBLEM; 12 is Device Manager's
// Code 12, no free resources, 0x1f its Code 31).
struct tDeviceProblem {
    tPciAddress address;
    std::string id;  // the system's name for it
    std::uint32_t problem = 0;
    // Its BAR counts (DEVPKEY_PciDevice_BarTypes: I/O, memory, 32-bit and
    // 64-bit prefetchable, a byte each), where known: what windows it needs.
    std::optional<std::uint32_t> barTypes;
};

inline constexpr std::uint32_t kProblemNoResources = 12;     // Code 12
inline constexpr std::uint32_t kProblemFailedAdd = 0x1f;     // Code 31

// The workarounds of Windows' PCI driver for expansion chassis, read from
// the registry (HackFlags): 0x400 keeps a bridge window that reset left
// disabled, 0x200 renumbers buses past the firmware's ranges.
inline constexpr std::uint32_t kKeepBridgeWindowsFlag = 0x400;
inline constexpr std::uint32_t kRenumberBusesFlag = 0x200;
struct tHackFlagsRead {
    std::optional<std::uint32_t> value;  // none: not set, or not readable
    std::optional<std::int32_t> error;   // the registry's error when not readable
};

struct tTopologyRoot {
    std::uint32_t segment = 0;
    std::uint32_t bus = 0;
    std::optional<tWindow> range;  // its bus numbers; none: unknown
    std::vector<tPciFunction> functions;
    // The root bridge as the system names it: on Linux its firmware name
    // ("PCI0", as the kernel log announces it), on Windows its instance ID.
    // Empty when unknown. Two root buses may share a segment and bus where
    // the segment cannot be read; this name still tells them apart.
    std::string name;
    // Its I/O and memory windows, in address order; none when unknown (on
    // Linux only the kernel log and root's /proc/iomem give them).
    std::optional<std::vector<tWindow>> windows;
    // The functions below it that the system stopped, in address order.
    std::vector<tDeviceProblem> deviceProblems;
};

struct tPciSlot {
    std::string name;
    std::uint32_t segment = 0;
    // The bus a card in the slot sits on; unknown where only the port that
    // drives the slot is known, and its window is not visible.
    std::optional<std::uint32_t> bus;
    // The port that drives it, where the reader knows it without the bus.
    std::optional<tPciAddress> port;
    std::optional<bool> hotplug;  // unknown where the system does not say
    // The device number of the slot on that bus, where the system gives it
    // (sysfs "DDDD:BB:dd"); without it the slot is the whole bus.
    std::optional<std::uint32_t> device;
    // The root bus it was found under (an index into tTopology::roots),
    // where the reader knows it; else it is placed by its bus and port.
    std::optional<std::size_t> root;
};

struct tTopology {
    // True where every bridge's window was read (Linux); false where some
    // numbers can only be bounded (Windows).
    bool exact = true;
    std::vector<tTopologyRoot> roots;
    std::vector<tPciSlot> slots;
    // The kernel log, which gives the firmware's own ranges, was closed to
    // this user: a range from the ECAM window is all there was.
    bool kernelLogClosed = false;
    // What the reader found wrong with the machine outside any root bus
    // (a slot address that cannot be read, a function under no host bridge).
    std::vector<std::string> problems;
    // The resources that got no space, by function.
    std::vector<tUnassigned> unassigned;
    // The reader read the functions' BARs and the bridges' address windows:
    // where it did not, an empty list is unknown, not "none".
    bool addressesRead = false;
    // Windows' PCI workarounds, where the reader looked for them.
    std::optional<tHackFlagsRead> hackFlags;
};

}  // namespace nROOTSCOPE_1_0

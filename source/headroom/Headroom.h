// SPDX-License-Identifier: MIT
// How many bus numbers each root bus has left: a pure function of the
// topology.
//
// - claimed: the distinct numbers of the root's own bus, of every valid
//   bridge window [secondary, subordinate] below it and of every bus a
//   function sits on. A window is valid when the bridge's own bus <
//   secondary <= subordinate <= 255; an invalid one claims nothing and is
//   listed as a problem.
// - buses: the distinct numbers of the root's own bus, the secondary of
//   every valid bridge and every bus a function sits on (an SR-IOV virtual
//   bus has no bridge of its own).
// - reserved = claimed - buses: held inside a window for hot-plug, usable
//   only by what is added below that window's port.
// - free: the numbers of the range that nothing claims (unknown without a
//   range), with the longest run of them; outside_range: claimed numbers
//   outside the range, a firmware problem.
//
// Where the topology is not exact (some windows inferred), claimed and
// buses are lower bounds and free an upper bound. Where the range is only
// the ECAM window, which the firmware's own range may narrow, free is an
// upper bound too.
//
// A slot's usable numbers are the longest run of its port's window that no
// window outside the port's own subtree claims: numbers another bridge
// claims by mistake cannot be given to what is plugged in.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "Topology.h"

namespace nROOTSCOPE_1_0 {

// What one bus number of a root bus is used for.
enum class tBusUse : std::uint8_t {
    kFree,      // in the range, claimed by nothing
    kBus,       // a bus that exists
    kReserved,  // inside a window, no bus yet
    kOutside,   // outside the range, and claimed by nothing
};

// One address window of a root bus or a bridge, and what is left of it.
// Directly below a window are the assigned BARs (ROM and VF BARs too) of
// the functions on its bus and the windows of the bridges among them, each
// in its own address space (I/O, or memory of either kind):
// - used: the units of the window under what is directly below;
// - free: size - used;
// - largest_block: the largest power of two 2^k such that an aligned block
//   of 2^k lies in the window and under nothing directly below (0: none);
// - reserved: for each window of a bridge directly below that lies inside
//   this one, its free + reserved, added up: idle space held below a port,
//   usable only by what is added below it.
struct tWindowHeadroom {
    tWindow window;
    std::uint64_t size = 0;
    std::uint64_t used = 0;
    std::uint64_t reserved = 0;
    std::uint64_t free = 0;
    std::uint64_t largestBlock = 0;
};

// A root bus's windows of one address space added up, split at 4 GiB (a
// window across it counts as two parts): sizes, used and free are sums,
// largest_block the largest of the parts'.
struct tSpaceTotal {
    std::uint64_t size = 0;
    std::uint64_t used = 0;
    std::uint64_t free = 0;
    std::uint64_t largestBlock = 0;
};

struct tMemoryTotals {
    tSpaceTotal below4g;
    tSpaceTotal above4g;
    tSpaceTotal io;
};

// A resource that got no space, with the window that could not hold it:
// the one its function's bridge (or root bus) offers for its kind.
struct tUnassignedHeadroom {
    tUnassigned resource;
    std::optional<tPciAddress> bridge;  // none: the root bus's own window
    std::optional<tWindowHeadroom> window;  // none: that window is closed or unknown
};

struct tBridgeWindow {
    tPciAddress address;
    std::uint32_t secondary = 0;
    std::uint32_t subordinate = 0;
    bool inferred = false;
    std::vector<tWindowHeadroom> windows;  // its address windows, in address order
};

struct tSlotHeadroom {
    std::string name;
    std::uint32_t segment = 0;
    std::optional<std::uint32_t> bus;
    std::optional<std::uint32_t> device;  // the slot's device number on its bus, where known
    std::optional<tPciAddress> port;  // the bridge whose secondary bus it is
    std::optional<bool> hotplug;
    bool occupied = false;            // a function sits at its address, or below its port
    std::optional<std::uint32_t> window;  // the port's subordinate - secondary + 1
    bool windowInferred = false;          // the port's window is inferred: a lower bound
    // What a chassis plugged in here could be given: the longest run of the
    // port's window that nothing outside the port claims; for a slot on the
    // root bus itself, the root bus's longest free run. None when unknown.
    std::optional<std::uint32_t> usable;
    bool usableBound = false;  // usable is an upper bound
    std::vector<tWindowHeadroom> windows;  // its port's address windows
};

// A function the system stopped (Windows' problem codes), with the bridge
// above it and, for a Code 12, the windows that bridge lacks of those the
// card needs: by its BAR counts where known, else a memory and a
// prefetchable one.
struct tFailedDevice {
    tDeviceProblem device;
    std::optional<tPciAddress> bridge;  // none: it sits on the root bus
    std::vector<tResourceKind> missingWindows;
};

struct tRootBusHeadroom {
    std::uint32_t segment = 0;
    std::uint32_t bus = 0;
    std::string name;  // the root bridge's, as the system names it; empty when unknown
    std::optional<tWindow> range;  // its bus numbers
    bool exact = true;         // free and its run are exact, not upper bounds
    bool claimsExact = true;   // claimed and buses are exact, not lower bounds
    std::uint32_t claimed = 0;
    std::uint32_t buses = 0;
    std::uint32_t reserved = 0;
    std::optional<std::uint32_t> free;
    std::optional<std::uint32_t> largestFreeRun;
    std::uint32_t largestFreeRunStart = 0;  // where that run begins, when there is one
    std::uint32_t outsideRange = 0;
    std::array<tBusUse, 256> uses{};
    std::vector<tBridgeWindow> bridges;  // valid windows only, in address order
    std::vector<tSlotHeadroom> slots;    // in name order
    std::vector<std::string> problems;
    // Its own address windows and their totals; none when unknown.
    std::optional<std::vector<tWindowHeadroom>> windows;
    std::optional<tMemoryTotals> memory;
    std::vector<tUnassignedHeadroom> unassigned;  // in address order
    // The Resizable BARs below it: what each is now, and the most its card
    // supports (what it might ask for after a driver resizes it).
    struct tResizable {
        tPciAddress address;
        tBar bar;
    };
    std::vector<tResizable> resizable;  // in address order
    std::vector<tFailedDevice> failedDevices;  // in address order
    // Bridges whose bus numbers are not visible (empty ports on Windows),
    // with their address windows, which are: in address order.
    struct tHiddenPort {
        tPciAddress address;
        std::vector<tWindowHeadroom> windows;
    };
    std::vector<tHiddenPort> hiddenPorts;
};

// The fewest bus numbers a chassis can take: one PCIe switch with one
// downstream port (the link, the switch's internal bus, the port's bus).
constexpr std::uint32_t kSmallestChassis = 3;

// Where to plug the next expansion chassis, worked out from the numbers.
struct tAdvice {
    struct tSlotPick {
        std::size_t root = 0;  // index in tHeadroom::roots
        std::size_t slot = 0;  // index in that root's slots
    };
    // Added while the machine runs: the empty hot-plug slot offering the
    // most numbers, at least kSmallestChassis.
    std::optional<tSlotPick> hotSlot;
    // Empty hot-plug slots whose window is too small for any chassis.
    std::vector<tSlotPick> tooSmall;
    // Attached before boot: the root bus with the most free numbers among
    // those with an empty slot that is known, else among all; at least
    // kSmallestChassis free.
    std::optional<std::size_t> coldRoot;
    std::vector<std::size_t> coldSlots;  // its empty slots, indexes in its slots
    bool anyRange = false;               // some root bus has a known range
    bool anyEmptySlot = false;           // some root bus has a known empty slot
    // Windows' workarounds for expansion chassis (HackFlags): 0x400 for a
    // Code 12 below a bridge that lacks a window its card needs, 0x200 (and
    // the firmware's bus-number settings) for a Code 31.
    struct tDevicePick {
        std::size_t root = 0;    // index in tHeadroom::roots
        std::size_t device = 0;  // index in that root's failedDevices
    };
    std::vector<tDevicePick> keepBridgeWindows;
    std::vector<tDevicePick> renumberBuses;
    // Root buses whose memory windows are known, none above 4 GiB: the
    // firmware setting that opens one.
    std::vector<std::size_t> noMemoryAbove4g;
};

struct tHeadroom {
    bool exact = true;
    bool addressesRead = false;  // bridges' and slots' windows are known
    std::vector<tRootBusHeadroom> roots;  // in (segment, bus) order
    std::vector<tSlotHeadroom> unplacedSlots;  // on no root bus the machine has
    std::vector<std::string> problems;  // the topology's own
    std::optional<tHackFlagsRead> hackFlags;  // where the reader looked for them (Windows)
    tAdvice advice;
};

tHeadroom analyseHeadroom(const tTopology& topology);

}  // namespace nROOTSCOPE_1_0

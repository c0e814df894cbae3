// SPDX-License-Identifier: MIT
// Pure readers of the texts the Linux kernel publishes about PCI root
// bridges: sysfs attribute values and names, kernel-log records and
// /proc/iomem lines. They take text and return values; they touch no files,
// so every odd input can be tried on them directly.
//
// Every function accepts any bytes (NULs included) and never reads outside
// the view it is given.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "PciAddress.h"

namespace nROOTSCOPE_1_0 {

// Longest hid, uid or entry name used in an instance ID. With "ACPI\" and
// one separator the longest ID stays well inside the 200-byte ID buffer.
inline constexpr std::size_t kMaxIdPartLength = 64;

// A root bus: its PCI domain (segment) and bus number.
struct tRootBus {
    std::uint32_t domain = 0;
    std::uint32_t bus = 0;
};

// The kernel's announcement of a root bridge: ACPI name, domain and the bus
// range the firmware gave it.
struct tRootBridgeRange {
    std::string name;
    std::uint32_t domain = 0;
    std::uint32_t first = 0;
    std::uint32_t last = 0;
};

// A configuration-space window (ECAM / MMCONFIG) and the buses it covers.
struct tBusWindow {
    std::uint32_t domain = 0;
    std::uint32_t first = 0;
    std::uint32_t last = 0;
};

// One line of the kernel log as /dev/kmsg gives it ("6,339,5140900,-;text"):
// the text after the record prefix. Continuation lines (they begin with a
// space and carry key=value pairs), lines without a well-formed prefix and
// lines holding a NUL anywhere give nothing.
std::optional<std::string_view> kernelLogRecordText(std::string_view line);

// "ACPI: PCI Root Bridge [PC00] (domain 0000 [bus 00-3f])", also with
// "[bus 00]" for a one-bus range and without the space before "(". Keywords
// match in any letter case and any run of blanks stands for a space. A line
// without its "[bus ...]" part, with an end below its start, or holding a
// NUL anywhere, gives nothing.
std::optional<tRootBridgeRange> parseRootBridgeAnnouncement(std::string_view text);

// A /proc/iomem line naming a configuration window at any indentation:
// "  eec00000-eecfffff : PCI ECAM 0000 [bus 00-00]" or the older
// "e0000000-efffffff : PCI MMCONFIG 0000 [bus 00-ff]". The addresses are not
// looked at (they read as zeros for users without privileges); a line
// holding a NUL anywhere gives nothing.
std::optional<tBusWindow> parseConfigWindowLine(std::string_view line);

// "pci_bus 0000:00: root bus resource [bus 00-ff]", also "[bus 00]": the
// bus range a host bridge was given, printed for every host bridge (those
// without an ACPI node, as behind a VMD controller, too). Keywords match in
// any letter case. A range that does not begin at the bus the line names,
// or a NUL anywhere, gives nothing.
std::optional<tBusWindow> parseRootBusResource(std::string_view text);

// The sysfs name of a PCI host bridge, "pciDDDD:BB" (domain of 4 to 8 hex
// digits, bus of exactly 2).
std::optional<tRootBus> parseHostBridgeName(std::string_view name);

// A PCI function's address as sysfs names its directory: "DDDD:BB:dd.f",
// domain of 4 to 8 hex digits, bus and device of 2, device up to 1f,
// function 0 to 7.
std::optional<tPciAddress> parsePciAddress(std::string_view name);

// A bus-number attribute (secondary_bus_number, subordinate_bus_number):
// decimal digits, at most one trailing newline, a value of 0 to 255.
std::optional<std::uint32_t> busNumberAttribute(std::string_view raw);

// A function's class attribute, "0x060400": base class, subclass and
// programming interface as six hex digits after "0x", at most one trailing
// newline.
std::optional<std::uint32_t> pciClassAttribute(std::string_view raw);

// True for the classes of functions with a bus-number window: PCI-to-PCI
// bridges (06 04) and CardBus bridges (06 07).
inline bool isBridgeClass(std::uint32_t pciClass) {
    return (pciClass >> 8) == 0x0604 || (pciClass >> 8) == 0x0607;
}

// A slot's address attribute, "DDDD:BB:dd" or, for a slot that stands for
// a whole bus, "DDDD:BB"; at most one trailing newline.
struct tSlotAddress {
    std::uint32_t domain = 0;
    std::uint32_t bus = 0;
    std::optional<std::uint32_t> device;
};
std::optional<tSlotAddress> parseSlotAddress(std::string_view raw);

// A bridge's bus numbers from the first bytes of its configuration space,
// which any user may read: the header type at 0x0e (low 7 bits 1, a
// PCI-to-PCI bridge, or 2, a CardBus bridge), the secondary bus at 0x19 and
// the subordinate at 0x1a. Nothing for another header type or fewer bytes.
struct tBridgeBuses {
    std::uint32_t secondary = 0;
    std::uint32_t subordinate = 0;
};
std::optional<tBridgeBuses> bridgeBusesOfConfig(std::string_view config);

// The name the kernel log gives the ACPI device whose path attribute is
// `raw`: its last name segment (1 to 8 of A-Z, a-z, 0-9 and '_'), less the
// trailing underscores at positions 3 and 2 that the kernel drops when it
// names a device ("\_SB_.PC00\n" gives "PC00", "\_SB_.PC0_" gives "PC0",
// "\_SB_.P___" gives "P_"). Anything else gives nothing.
std::optional<std::string> acpiBusIdOfPath(std::string_view raw);

// An attribute value fit to stand in an instance ID: the raw value less one
// trailing newline, 1 to kMaxIdPartLength bytes, each a printable ASCII
// character other than space, backslash and comma. Anything else gives
// nothing, and the caller falls back as if the attribute were missing.
std::optional<std::string> idAttribute(std::string_view raw);

// A decimal attribute such as status ("15\n"): digits only after one
// trailing newline is removed, at most 64 bits.
std::optional<std::uint64_t> decimalAttribute(std::string_view raw);

// An entry name made fit for an instance ID: each byte that idAttribute
// would refuse becomes '_', cut to kMaxIdPartLength bytes; "_" when empty.
std::string sanitisedEntryName(std::string_view name);

// "ACPI\" + hid + "\" + uid. Without a usable uid, the instance number of
// the entry's name (the hex digits after its last ':', in decimal:
// "PNP0A08:0a" gives "10"), or the sanitised name when it has none. Without
// a usable hid, "ACPI\" + the sanitised entry name.
std::string makeInstanceId(const std::optional<std::string>& hid, const std::optional<std::string>& uid,
                           std::string_view entryName);

// The kernel log's root-bridge announcements, indexed for looking a bridge
// up by domain, first bus and name (any letter case). When a bridge was
// announced more than once, the last announcement (the latest probe)
// counts.
class tAnnouncedRanges {
public:
    explicit tAnnouncedRanges(const std::vector<tRootBridgeRange>& announcements);

    // The end of `bus`'s range as announced for the bridge named `name`.
    std::optional<std::uint32_t> busEnd(std::string_view name, tRootBus bus) const;

private:
    std::unordered_map<std::string, std::uint32_t> ends_;
};

// The log's "root bus resource [bus ...]" lines, indexed by domain and
// first bus; when a bus was given more than once, the last line counts.
class tBusResourceRanges {
public:
    explicit tBusResourceRanges(const std::vector<tBusWindow>& resources);

    std::optional<std::uint32_t> busEnd(tRootBus bus) const;

private:
    std::unordered_map<std::uint64_t, std::uint32_t> ends_;
};

// The configuration windows and the machine's root buses, indexed for the
// end of a root bus's range: the end of the first window of its domain that
// holds it, stopped one below the next higher root bus of the same domain
// (a window is shared by every root bus inside it).
class tWindowRanges {
public:
    tWindowRanges(const std::vector<tBusWindow>& windows, std::vector<tRootBus> rootBuses);

    std::optional<std::uint32_t> busEnd(tRootBus bus) const;

private:
    // Per domain and bus: the end of the first window that holds the bus,
    // or -1.
    std::unordered_map<std::uint32_t, std::array<std::int16_t, 256>> firstWindowEnd_;
    std::vector<tRootBus> sortedRootBuses_;
};

}  // namespace nROOTSCOPE_1_0

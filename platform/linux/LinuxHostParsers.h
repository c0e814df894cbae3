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

// ---- address resources ---------------------------------------------------

// What an address range holds: I/O ports, or memory, prefetchable or not.
// Memory and prefetchable memory are one address space.
enum class tAddressKind : std::uint8_t { kIo, kMemory, kPrefetchable };

// An address range a host bridge or a bridge forwards: first to last, both
// included, last below 2^64 - 1.
struct tAddressWindow {
    tAddressKind kind = tAddressKind::kMemory;
    std::uint64_t first = 0;
    std::uint64_t last = 0;
};

// One resource of a function's sysfs "resource" file that is there: a BAR,
// the ROM, a BAR of its SR-IOV virtual functions (all of them together), or
// an open window of a bridge.
struct tFunctionResource {
    std::size_t index = 0;  // its line, the kernel's number of the resource
    std::string name;       // "BAR 0", "ROM", "VF BAR 2", "bridge window"
    tAddressKind kind = tAddressKind::kMemory;
    std::uint64_t first = 0;
    std::uint64_t last = 0;
    bool is64 = false;
    bool window = false;
};

// A function's "resource" file, read.
struct tResourceFile {
    // What is assigned and open, in line order. A line of zeros, one that
    // ends at 0, one the kernel marks unset or disabled, and a BAR at
    // address 0 (where kernels before IORESOURCE_UNSET left an unassigned
    // one) hold nothing.
    std::vector<tFunctionResource> resources;
    bool sriov = false;        // it has the lines of SR-IOV BARs (13, 17, 18)
    bool windowLines = false;  // it has a bridge's window lines (11, 12, 17, 18)
    // The lines left out, each as "NAME: why".
    std::vector<std::string> refused;
};

// The text of a "resource" file: lines "0x%016llx 0x%016llx 0x%016llx\n"
// (start, end, flags). Their number tells the layout: 7 or 13 for a
// function without or with SR-IOV, 11 or 17 for a bridge, 12 or 18 for a
// bridge on kernels that printed one more, always empty, line. BARs are
// lines 0-5, the ROM 6, the SR-IOV BARs 7-12, a bridge's windows (I/O,
// memory, prefetchable) the three lines after those, typed by their place:
// older kernels gave them other flags. A CardBus bridge's four windows are
// typed by their flags. A BAR's kind comes from its flags: I/O (0x100),
// memory (0x200), prefetchable with 0x2000 or, on kernels from before the
// bus-number type took 0x1000, with 0x1000; 64-bit with 0x100000.
//
// Nothing, with `reason`, for a file that is not such lines (a wrong width
// or shape, a NUL, no final newline) or has another number of them. A
// line whose start is above its end, that ends at 2^64 - 1, or that is a
// BAR or ROM whose size is no power of two (but for Enhanced Allocation
// entries, flag 0x20, which may have any size) is left out and named in
// `refused`.
std::optional<tResourceFile> parseResourceFile(std::string_view text, bool cardBus, std::string& reason);

// The kernel's name of resource `index` of a function whose resource file
// has the given layout: "BAR N", "ROM", "VF BAR N", "bridge window", or
// "resource N" where the layout does not say.
std::string resourceName(std::size_t index, std::optional<bool> sriov);

// A "resourceN_resize" attribute: "%016llx\n", bit n set when the BAR can
// be 2^(20 + n) bytes. The largest such size; nothing for an empty bitmap,
// or, with `reason`, for one that is not 16 hex digits or whose largest
// size does not fit in 64 bits.
std::optional<std::uint64_t> resizableBarMaximum(std::string_view raw, std::string& reason);

// A bridge's windows from the first bytes of its configuration space: for
// a PCI-to-PCI bridge (header type 1, 0x34 bytes): I/O base and limit at 0x1c and
// 0x1d with their upper halves at 0x30-0x33, memory at 0x20-0x23,
// prefetchable at 0x24-0x27 with the upper halves at 0x28-0x2f. A window
// whose base is above its limit is closed, and so is one whose base and
// limit registers all read zero: no firmware gives a bridge address 0, and
// a window the bridge does not implement reads zero. A CardBus bridge
// (header type 2, 0x40 bytes) has two memory windows at 0x1c-0x2b,
// prefetchable as its bridge control at 0x3e says, and two I/O windows at
// 0x2c-0x3b. Nothing for another header type or fewer bytes.
struct tConfigWindows {
    std::vector<tAddressWindow> windows;
    std::vector<std::string> refused;  // a window that would end at 2^64 - 1
};
std::optional<tConfigWindows> bridgeWindowsOfConfig(std::string_view config);

// "pci_bus 0000:00: root bus resource [mem 0xc0000000-0xfebfffff window]",
// an I/O or memory range of a host bridge as the kernel printed it (%pR),
// with its decorations (64bit, pref, window, disabled) and perhaps
// " (bus address [...])" after it. A line naming a range that cannot be
// (start above end, end at 2^64 - 1) is given with `refused` saying why.
// Nothing for any other line (bus ranges included), a number of more than
// 64 bits, or a NUL anywhere.
struct tRootWindowLine {
    tRootBus bus;
    tAddressWindow range;
    bool window = false;    // " window": forwarded below, not used by the bridge itself
    bool disabled = false;  // " disabled"
    std::string refused;
};
std::optional<tRootWindowLine> parseRootWindowLine(std::string_view text);

// "PCI host bridge to bus 0000:00", after any device prefix: the root bus
// whose resource lines follow. Each such line starts its list again.
std::optional<tRootBus> parseHostBridgeStart(std::string_view text);

// A kernel-log line on the assignment of one resource of one function, in
// either format: since 6.8 (and in stable kernels to which it was taken)
// "pci 0000:07:00.0: BAR 1 [mem size 0x400000000 64bit pref]: can't
// assign; no space", "...: failed to assign", "...: assigned", "...: not
// assigned; can't enable device"; before, "pci 0000:07:00.0: BAR 1: no
// space for [mem size ...]", "BAR 1: failed to assign [...]", "BAR 1:
// assigned [...]", "can't enable device: BAR 1 [...] not assigned". A
// driver's name may stand for "pci". The old format numbers resources:
// 0-5 and 6 are named here, the rest (SR-IOV BARs, windows) need the
// function's layout (resourceName()).
enum class tAssignment : std::uint8_t { kNoSpace, kFailed, kAssigned, kCannotEnable };
struct tAssignmentLine {
    tPciAddress address;
    std::string resource;               // "BAR 1", "ROM", "VF BAR 0", "bridge window"; empty: see index
    std::optional<std::uint32_t> index; // the old format's number of the resource
    tAddressKind kind = tAddressKind::kMemory;
    std::uint64_t size = 0;
    bool is64 = false;
    tAssignment event = tAssignment::kNoSpace;
};
std::optional<tAssignmentLine> parseAssignmentLine(std::string_view text);

// The resources that ended without space: for each resource of each
// function, its last "failed to assign" or "not assigned; can't enable
// device" line, unless a later "assigned" line for it supersedes it. "No
// space" alone is no end: the kernel tries again. In the order of those
// lines.
std::vector<tAssignmentLine> unassignedResources(const std::vector<tAssignmentLine>& lines);

// A line of /proc/iomem or /proc/ioports, "  c0000000-c7ffffff : PCI Bus
// 0000:00", at any depth. The addresses read as zeros for a user without
// CAP_SYS_ADMIN. Nothing for a line of another shape, a first address above
// the last, or a NUL.
struct tProcResource {
    std::uint64_t first = 0;
    std::uint64_t last = 0;
    std::string_view name;  // a part of the line given
};
std::optional<tProcResource> parseProcResourceLine(std::string_view line);

// "PCI Bus DDDD:BB", the name the kernel gives a bus's windows there.
std::optional<tRootBus> parseProcBusName(std::string_view name);

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

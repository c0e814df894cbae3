// Pure readers of the texts the Linux kernel publishes about PCI root
// bridges: sysfs attribute values and names, kernel-log records and
// /proc/iomem lines. They take text and return values; they touch no files,
// so every odd input can be tried on them directly.
//
// Every function accepts any bytes (NULs included) and never reads outside
// the view it is given.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

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
// space and carry key=value pairs) and lines without a well-formed prefix
// give nothing.
std::optional<std::string_view> kernelLogRecordText(std::string_view line);

// "ACPI: PCI Root Bridge [PC00] (domain 0000 [bus 00-3f])", also with
// "[bus 00]" for a one-bus range and without the space before "(". Keywords
// match in any letter case and any run of blanks stands for a space. A line
// without its "[bus ...]" part, or with an end below its start, gives nothing.
std::optional<tRootBridgeRange> parseRootBridgeAnnouncement(std::string_view text);

// A /proc/iomem line naming a configuration window at any indentation:
// "  eec00000-eecfffff : PCI ECAM 0000 [bus 00-00]" or the older
// "e0000000-efffffff : PCI MMCONFIG 0000 [bus 00-ff]". The addresses are not
// looked at (they read as zeros for users without privileges).
std::optional<tBusWindow> parseConfigWindowLine(std::string_view line);

// The sysfs name of a PCI host bridge, "pciDDDD:BB" (domain of 4 to 8 hex
// digits, bus of exactly 2).
std::optional<tRootBus> parseHostBridgeName(std::string_view name);

// The last name segment of an ACPI path attribute ("\_SB_.PC00\n" gives
// "PC00"): 1 to 8 of A-Z, a-z, 0-9 and '_'. Anything else gives nothing.
std::optional<std::string> acpiNameOfPath(std::string_view raw);

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

// The end of `bus`'s range as the kernel log announced it for the bridge
// named `name`: an announcement with that name (any letter case), domain and
// first bus. When several match, the last one (the latest probe) counts.
std::optional<std::uint32_t> kernelLogBusEnd(const std::vector<tRootBridgeRange>& announcements,
                                             std::string_view name, tRootBus bus);

// The end of `bus`'s range from the first configuration window of its
// domain that holds it, stopped one below the next higher root bus of the
// same domain (windows are shared by all root buses inside them).
std::optional<std::uint32_t> configWindowBusEnd(const std::vector<tBusWindow>& windows,
                                                const std::vector<tRootBus>& rootBuses, tRootBus bus);

}  // namespace nROOTSCOPE_1_0

// SPDX-License-Identifier: MIT
#include "LinuxTopologyReader.h"

#include <algorithm>
#include <cerrno>
#include <map>
#include <optional>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

#include "LinuxHostParsers.h"
#include "LinuxHostReader.h"
#include "RootBusRanges.h"

namespace nROOTSCOPE_1_0 {

namespace {

constexpr std::size_t kAttributeLimit = 256;
// Enough for every function of 64 fully populated segments.
constexpr std::size_t kMaxFunctions = 1u << 22;
constexpr std::size_t kMaxSlots = 65536;
// Without CAP_SYS_ADMIN the kernel gives the first 64 bytes of config.
constexpr std::size_t kConfigBytes = 64;

using tBusKey = std::pair<std::uint32_t, std::uint32_t>;  // segment, bus

// `text` as it may be shown in a message: its first line, printable ASCII
// only, cut short.
std::string quoted(std::string_view text) {
    if (!text.empty() && text.back() == '\n') {
        text.remove_suffix(1);
    }
    std::string shown;
    for (char c : text.substr(0, 16)) {
        shown += c >= 0x20 && c < 0x7f ? c : '?';
    }
    return "\"" + shown + (text.size() > 16 ? "...\"" : "\"");
}

struct tFound {
    tPciFunction function;
    tBusKey root;
};

// The components of a real path, in order.
std::vector<std::string_view> components(std::string_view path) {
    std::vector<std::string_view> parts;
    while (!path.empty()) {
        const std::size_t slash = path.find('/');
        parts.push_back(path.substr(0, slash));
        path.remove_prefix(slash == std::string_view::npos ? path.size() : slash + 1);
    }
    return parts;
}

// A bridge's window from its two attributes, or from its config header
// where the kernel has no attributes. False when the machine cannot be
// read; a function that is no bridge leaves `function.bridge` false.
bool readWindow(const tSysroot& root, const tSysDir& dir, tPciFunction& function, tReadFailure& failure) {
    std::string secondary;
    std::string subordinate;
    const tRead first = root.readFile(dir, "secondary_bus_number", kAttributeLimit, secondary, failure);
    if (first == tRead::kFailed) {
        return false;
    }
    const tRead second = root.readFile(dir, "subordinate_bus_number", kAttributeLimit, subordinate, failure);
    if (second == tRead::kFailed) {
        return false;
    }
    if (first != tRead::kAbsent || second != tRead::kAbsent) {
        function.bridge = true;
        if (first == tRead::kRead) {
            function.secondary = busNumberAttribute(secondary);
        }
        if (second == tRead::kRead) {
            function.subordinate = busNumberAttribute(subordinate);
        }
        if (!function.secondary) {
            function.unreadable = first == tRead::kRead ? "secondary_bus_number holds " + quoted(secondary) +
                                                              ", not a bus number"
                                                        : "it has no readable secondary_bus_number";
        } else if (!function.subordinate) {
            function.unreadable = second == tRead::kRead ? "subordinate_bus_number holds " + quoted(subordinate) +
                                                               ", not a bus number"
                                                         : "it has no readable subordinate_bus_number";
        }
        return true;
    }
    // Kernels before 4.13: the header, which every user may read. Reading it
    // reaches the device itself (most of a millisecond under a hypervisor),
    // so only a function whose class, which the kernel keeps, says bridge,
    // or does not say, is asked.
    std::string pciClass;
    const tRead classRead = root.readFile(dir, "class", kAttributeLimit, pciClass, failure);
    if (classRead == tRead::kFailed) {
        return false;
    }
    const std::optional<std::uint32_t> classCode =
        classRead == tRead::kRead ? pciClassAttribute(pciClass) : std::nullopt;
    if (classCode && !isBridgeClass(*classCode)) {
        return true;
    }
    std::string config;
    bool truncated = false;
    const tRead read = root.readFile(dir, "config", kConfigBytes, config, failure, &truncated);
    if (read == tRead::kFailed) {
        return false;
    }
    if (read == tRead::kRead) {
        if (const std::optional<tBridgeBuses> buses = bridgeBusesOfConfig(config)) {
            function.bridge = true;
            function.secondary = buses->secondary;
            function.subordinate = buses->subordinate;
        }
    }
    return true;
}

// One entry of sys/bus/pci/devices. Sets `found` unless the entry is gone
// or names no function; false when the machine cannot be read. The
// function's address is the name of the directory the entry leads to, as
// the kernel names it, not the entry's own name: two entries leading to one
// directory are one function, read once (`real` collects the directories).
bool readFunction(const tSysroot& root, const tSysDir& devices, const std::string& name, std::optional<tFound>& found,
                  std::unordered_set<std::string>& read, std::vector<std::string>& problems, tReadFailure& failure) {
    if (!parsePciAddress(name)) {
        problems.push_back("sys/bus/pci/devices/" + quoted(name) + " names no PCI function");
        return true;
    }
    std::string real;
    struct stat info {};
    const tRead link = root.followLink(devices, name, real, info, failure);
    if (link == tRead::kFailed) {
        return false;
    }
    if (link != tRead::kRead || !S_ISDIR(info.st_mode)) {
        return true;  // gone while it was read, or not a device at all
    }
    // The nearest host bridge above the function is its root bus; the
    // nearest function directory above it, the bridge it sits below.
    const std::vector<std::string_view> parts = components(real);
    const std::optional<tPciAddress> address =
        parts.empty() ? std::nullopt : parsePciAddress(parts.back());
    if (!address || formatPciAddress(*address) != parts.back()) {
        problems.push_back("sys/bus/pci/devices/" + quoted(name) + " leads to no PCI function's directory");
        return true;
    }
    if (!read.insert(real).second) {
        return true;  // another entry led here already
    }
    std::optional<tRootBus> host;
    std::optional<tPciAddress> parent;
    for (std::size_t i = parts.size() - 1; i-- > 0 && !host;) {
        host = parseHostBridgeName(parts[i]);
        if (!host && !parent) {
            parent = parsePciAddress(parts[i]);
        }
    }
    if (!host) {
        problems.push_back(formatPciAddress(*address) + " sits below no host bridge");
        return true;
    }
    tFound result;
    result.root = {host->domain, host->bus};
    result.function.address = *address;
    result.function.parent = parent;
    const tSysDir dir{real, "sys/bus/pci/devices/" + name};
    if (!readWindow(root, dir, result.function, failure)) {
        return false;
    }
    const tRead physfn = root.exists(dir, "physfn", failure);
    if (physfn == tRead::kFailed) {
        return false;
    }
    result.function.virtualFunction = physfn == tRead::kRead;
    found = std::move(result);
    return true;
}

bool readSlots(const tSysroot& root, tTopology& topology, tReadFailure& failure) {
    tSysDir slots;
    std::vector<std::string> names;
    if (!listedOrMissing(root.listDirectory(tSysroot::top(), "sys/bus/pci/slots", kMaxSlots, slots, names, failure),
                         failure)) {
        return false;
    }
    std::sort(names.begin(), names.end());  // the same problems, in the same order, on every file system
    for (const std::string& name : names) {
        tSysDir slot;
        const tRead isDirectory = root.directory(slots, name, slot, failure);
        if (isDirectory == tRead::kFailed) {
            return false;
        }
        if (isDirectory != tRead::kRead) {
            continue;
        }
        std::string text;
        const tRead read = root.readFile(slot, "address", kAttributeLimit, text, failure);
        if (read == tRead::kFailed) {
            return false;
        }
        const std::optional<tSlotAddress> address = read == tRead::kRead ? parseSlotAddress(text) : std::nullopt;
        if (!address) {
            topology.problems.push_back("slot " + quoted(name) + " has no readable address");
            continue;
        }
        const tRead power = root.exists(slot, "power", failure);
        if (power == tRead::kFailed) {
            return false;
        }
        tPciSlot found;
        found.name = name;
        found.segment = address->domain;
        found.bus = address->bus;
        found.hotplug = power == tRead::kRead;
        found.device = address->device;
        topology.slots.push_back(std::move(found));
    }
    return true;
}

bool readTopology(const tSysroot& root, tTopology& topology, tReadFailure& failure) {
    // The ACPI names of the host bridges, read as rootscope reads them, so
    // that both programs give every root bus the same range.
    tDeviceTable acpiNodes;
    std::vector<tAcpiHostBridge> acpiBridges;
    if (!readAcpiNodes(root, acpiNodes, acpiBridges, failure)) {
        return false;
    }
    std::map<tBusKey, std::string> acpiNames;  // the firmware's name of each root bridge
    for (const tAcpiHostBridge& bridge : acpiBridges) {
        acpiNames[{bridge.bus.domain, bridge.bus.bus}] = bridge.acpiName;
    }

    std::vector<tRootBus> topBridges;
    if (!readTopHostBridges(root, topBridges, failure)) {
        return false;
    }
    std::map<tBusKey, tTopologyRoot> roots;
    for (const tRootBus& bus : topBridges) {
        tTopologyRoot& added = roots[{bus.domain, bus.bus}];
        added.segment = bus.domain;
        added.bus = bus.bus;
    }

    tSysDir devices;
    std::vector<std::string> names;
    if (!listedOrMissing(
            root.listDirectory(tSysroot::top(), "sys/bus/pci/devices", kMaxFunctions, devices, names, failure),
            failure)) {
        return false;
    }
    std::sort(names.begin(), names.end());  // the same problems, in the same order, on every file system
    std::unordered_set<std::string> read;
    for (const std::string& name : names) {
        std::optional<tFound> function;
        if (!readFunction(root, devices, name, function, read, topology.problems, failure)) {
            return false;
        }
        if (function) {
            tTopologyRoot& owner = roots[function->root];
            owner.segment = function->root.first;
            owner.bus = function->root.second;
            owner.functions.push_back(std::move(function->function));
        }
    }

    std::vector<tRootBus> rootBuses;
    for (const auto& [key, unused] : roots) {
        rootBuses.push_back({key.first, key.second});
    }
    tRootBusRangeReader ranges(root, rootBuses);
    for (auto& [key, owner] : roots) {
        const auto name = acpiNames.find(key);
        if (name != acpiNames.end()) {
            owner.name = name->second;
        }
        std::optional<tRootBusRange> range;
        if (!ranges.rangeOf({key.first, key.second}, name == acpiNames.end() ? std::string_view() : name->second,
                            range, failure)) {
            return false;
        }
        if (range) {
            owner.range = tBusRange{range->first, range->last,
                                    range->source == tRangeSource::kEcam ? tRangeOrigin::kEcam : tRangeOrigin::kKernelLog};
        }
        std::sort(owner.functions.begin(), owner.functions.end(),
                  [](const tPciFunction& a, const tPciFunction& b) { return a.address < b.address; });
        topology.roots.push_back(std::move(owner));
    }
    topology.kernelLogClosed = ranges.kernelLogClosed();
    return readSlots(root, topology, failure);
}

}  // namespace

bool readLinuxTopology(const std::string& root, tTopology& topology, tReadFailure& failure) {
    topology = tTopology{};
    return readBeneath(root, failure,
                       [&](const tSysroot& sysroot) { return readTopology(sysroot, topology, failure); });
}

}  // namespace nROOTSCOPE_1_0

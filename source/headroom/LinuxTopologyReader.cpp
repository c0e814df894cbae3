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
// The longest resource file a kernel writes: 18 lines of 57 bytes. A longer
// one is refused after that many bytes, however long it is.
constexpr std::size_t kResourceFileLimit = 18 * 57;
// BARs 0 to 5 may have a resourceN_resize file.
constexpr std::size_t kStandardBars = 6;

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
    // Whether its resource file has the lines of SR-IOV BARs; unknown
    // without a resource file that could be read.
    std::optional<bool> sriov;
};

tResourceKind kindOf(tAddressKind kind) {
    switch (kind) {
        case tAddressKind::kIo:
            return tResourceKind::kIo;
        case tAddressKind::kPrefetchable:
            return tResourceKind::kPrefetchable;
        case tAddressKind::kMemory:
            break;
    }
    return tResourceKind::kMemory;
}

tWindow windowOf(const tAddressWindow& range, tWindowOrigin origin) {
    tWindow window;
    window.kind = kindOf(range.kind);
    window.first = range.first;
    window.last = range.last;
    window.origin = origin;
    return window;
}

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
// `config` and `classCode` keep what was read of them, for the reading of
// the function's resources.
bool readWindow(const tSysroot& root, const tSysDir& dir, tPciFunction& function, std::optional<std::string>& config,
                std::optional<std::uint32_t>& classCode, tReadFailure& failure) {
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
    classCode = classRead == tRead::kRead ? pciClassAttribute(pciClass) : std::nullopt;
    if (classCode && !isBridgeClass(*classCode)) {
        return true;
    }
    std::string header;
    bool truncated = false;
    const tRead read = root.readFile(dir, "config", kConfigBytes, header, failure, &truncated);
    if (read == tRead::kFailed) {
        return false;
    }
    if (read == tRead::kRead) {
        if (const std::optional<tBridgeBuses> buses = bridgeBusesOfConfig(header)) {
            function.bridge = true;
            function.secondary = buses->secondary;
            function.subordinate = buses->subordinate;
        }
        config = std::move(header);
    }
    return true;
}

// A bridge's windows from its configuration header, for a bridge whose
// resource file has no window lines (the kernel did not scan behind it) or
// none that can be used. The header is read only then: reading it reaches
// the device.
bool readConfigWindows(const tSysroot& root, const tSysDir& dir, std::optional<std::string>& config,
                       tPciFunction& function, std::vector<std::string>& problems, tReadFailure& failure) {
    const std::string name = formatPciAddress(function.address);
    if (!config) {
        std::string header;
        bool truncated = false;
        const tRead read = root.readFile(dir, "config", kConfigBytes, header, failure, &truncated);
        if (read == tRead::kFailed) {
            return false;
        }
        if (read == tRead::kOdd) {
            problems.push_back(name + ": its windows are unknown: its config is not a regular file");
        }
        if (read != tRead::kRead) {
            return true;  // a copy of a machine without it
        }
        config = std::move(header);
    }
    const std::optional<tConfigWindows> decoded = bridgeWindowsOfConfig(*config);
    if (!decoded) {
        problems.push_back(name + ": its windows are unknown: its config is no PCI-to-PCI bridge's header");
        return true;
    }
    for (const std::string& refused : decoded->refused) {
        problems.push_back(name + ": its config's " + refused);
    }
    for (const tAddressWindow& window : decoded->windows) {
        function.windows.push_back(windowOf(window, tWindowOrigin::kConfig));
    }
    return true;
}

// A function's BARs, and a bridge's windows, from its resource file; the
// largest size of each BAR that has a resourceN_resize file. What cannot be
// used is said in `problems`, naming the function.
bool readResources(const tSysroot& root, const tSysDir& dir, std::optional<std::string>& config,
                   std::optional<std::uint32_t> classCode, tFound& found, std::vector<std::string>& problems,
                   tReadFailure& failure) {
    tPciFunction& function = found.function;
    const std::string name = formatPciAddress(function.address);
    std::string text;
    const tRead read = root.readFile(dir, "resource", kResourceFileLimit, text, failure);
    if (read == tRead::kFailed) {
        return false;
    }
    std::optional<tResourceFile> file;
    std::string reason;
    if (read == tRead::kRead) {
        file = parseResourceFile(text, false, reason);
        // A CardBus bridge's four windows say by their flags what they are.
        if (file && file->windowLines && !classCode) {
            std::string pciClass;
            const tRead classRead = root.readFile(dir, "class", kAttributeLimit, pciClass, failure);
            if (classRead == tRead::kFailed) {
                return false;
            }
            classCode = classRead == tRead::kRead ? pciClassAttribute(pciClass) : std::nullopt;
        }
        if (file && file->windowLines && classCode && (*classCode >> 8) == 0x0607) {
            file = parseResourceFile(text, true, reason);
        }
    } else if (read == tRead::kOdd) {
        reason = "it is not a regular file of at most " + std::to_string(kResourceFileLimit) + " bytes";
    }
    if (!reason.empty()) {
        problems.push_back(name + ": its resource file is refused: " + reason);
    }
    std::vector<std::size_t> barIndexes;
    if (file) {
        found.sriov = file->sriov;
        for (const std::string& refused : file->refused) {
            problems.push_back(name + ": a line of its resource file is refused: " + refused);
        }
        for (const tFunctionResource& resource : file->resources) {
            if (resource.window) {
                function.windows.push_back(windowOf({resource.kind, resource.first, resource.last},
                                                    tWindowOrigin::kSysfs));
                continue;
            }
            tBar bar;
            bar.name = resource.name;
            bar.kind = kindOf(resource.kind);
            bar.first = resource.first;
            bar.last = resource.last;
            bar.is64 = resource.is64;
            function.bars.push_back(std::move(bar));
            barIndexes.push_back(resource.index);
        }
    }
    if (function.bridge && (!file || !file->windowLines) &&
        !readConfigWindows(root, dir, config, function, problems, failure)) {
        return false;
    }
    for (std::size_t k = 0; k < function.bars.size(); ++k) {
        if (barIndexes[k] >= kStandardBars) {
            continue;
        }
        const std::string attribute = "resource" + std::to_string(barIndexes[k]) + "_resize";
        std::string raw;
        const tRead resize = root.readFile(dir, attribute, kAttributeLimit, raw, failure);
        if (resize == tRead::kFailed) {
            return false;
        }
        std::string refused;
        if (resize == tRead::kRead) {
            function.bars[k].resizableMax = resizableBarMaximum(raw, refused);
        } else if (resize == tRead::kOdd) {
            refused = "it is not a regular file of at most " + std::to_string(kAttributeLimit) + " bytes";
        }
        if (!refused.empty()) {
            problems.push_back(name + ": its " + attribute + " is refused: " + refused);
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
    std::optional<std::string> config;
    std::optional<std::uint32_t> classCode;
    if (!readWindow(root, dir, result.function, config, classCode, failure)) {
        return false;
    }
    const tRead physfn = root.exists(dir, "physfn", failure);
    if (physfn == tRead::kFailed) {
        return false;
    }
    result.function.virtualFunction = physfn == tRead::kRead;
    // A virtual function's BARs lie inside its physical function's VF BARs,
    // which hold those of all its virtual functions: they are counted there.
    if (!result.function.virtualFunction &&
        !readResources(root, dir, config, classCode, result, problems, failure)) {
        return false;
    }
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
    std::map<tPciAddress, std::optional<bool>> layouts;  // each function's, by address
    for (const std::string& name : names) {
        std::optional<tFound> function;
        if (!readFunction(root, devices, name, function, read, topology.problems, failure)) {
            return false;
        }
        if (function) {
            layouts[function->function.address] = function->sriov;
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
            owner.range = busRange(range->first, range->last,
                                   range->source == tRangeSource::kEcam ? tWindowOrigin::kEcam : tWindowOrigin::kKernelLog);
        }
        std::optional<tRootWindows> windows;
        if (!ranges.windowsOf({key.first, key.second}, name != acpiNames.end(), windows, topology.problems, failure)) {
            return false;
        }
        if (windows) {
            const tWindowOrigin origin =
                windows->source == tWindowSource::kProc ? tWindowOrigin::kIomem : tWindowOrigin::kKernelLog;
            owner.windows.emplace();
            for (const tAddressWindow& window : windows->windows) {
                owner.windows->push_back(windowOf(window, origin));
            }
        }
        std::sort(owner.functions.begin(), owner.functions.end(),
                  [](const tPciFunction& a, const tPciFunction& b) { return a.address < b.address; });
        topology.roots.push_back(std::move(owner));
    }
    // The resources the kernel found no space for, of the functions there
    // now: a function removed since left its lines behind.
    if (!layouts.empty()) {
        const std::vector<tAssignmentLine>* lines = nullptr;
        if (!ranges.assignmentLines(lines, failure)) {
            return false;
        }
        for (const tAssignmentLine& line : unassignedResources(*lines)) {
            const auto layout = layouts.find(line.address);
            if (layout == layouts.end()) {
                continue;
            }
            tUnassigned unassigned;
            unassigned.address = line.address;
            unassigned.resource =
                line.resource.empty() && line.index ? resourceName(*line.index, layout->second) : line.resource;
            unassigned.kind = kindOf(line.kind);
            unassigned.size = line.size;
            unassigned.is64 = line.is64;
            topology.unassigned.push_back(std::move(unassigned));
        }
    }
    topology.kernelLogClosed = ranges.kernelLogClosed();
    topology.addressesRead = true;  // every BAR and bridge window, from files any user reads
    return readSlots(root, topology, failure);
}

}  // namespace

bool readLinuxTopology(const std::string& root, tTopology& topology, tReadFailure& failure) {
    topology = tTopology{};
    return readBeneath(root, failure,
                       [&](const tSysroot& sysroot) { return readTopology(sysroot, topology, failure); });
}

}  // namespace nROOTSCOPE_1_0

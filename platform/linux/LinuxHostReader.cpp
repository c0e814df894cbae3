// SPDX-License-Identifier: MIT
#include "LinuxHostReader.h"

#include <algorithm>
#include <cerrno>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "LinuxHostParsers.h"
#include "RootBusRanges.h"
#include "Sysroot.h"

namespace nROOTSCOPE_1_0 {

namespace {

// sysfs attributes are at most a page; the ones used here are a few bytes.
constexpr std::size_t kAttributeLimit = 256;
constexpr std::size_t kMaxDeviceEntries = 65536;

// The last component of a real path.
std::string_view lastComponent(std::string_view path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

// Reads one entry into `node`; a started PCI host bridge also fills
// `bridge`. False, with the failure, when the entry could not be read.
bool readEntry(const tSysroot& root, const tSysDir& entries, const std::string& name, tDeviceNode& node,
               std::optional<tAcpiHostBridge>& bridge, tReadFailure& failure) {
    // An entry that is not a directory has no attributes and no physical
    // node: it gets the fallback ID and is not started.
    tSysDir entry;
    if (const tRead read = root.directory(entries, name, entry, failure); read != tRead::kRead) {
        node.id = makeInstanceId(std::nullopt, std::nullopt, name);
        return read != tRead::kFailed;
    }
    std::string text;
    std::optional<std::string> hid;
    std::optional<std::string> uid;
    for (const auto& [attribute, value] : {std::pair{"hid", &hid}, std::pair{"uid", &uid}}) {
        const tRead read = root.readFile(entry, attribute, kAttributeLimit, text, failure);
        if (read == tRead::kFailed) {
            return false;
        }
        if (read == tRead::kRead) {
            *value = idAttribute(text);
        }
    }
    node.id = makeInstanceId(hid, uid, name);

    // Started: the kernel bound a physical device to the node (the link
    // leads to a directory; one that dangles or loops does not), and the
    // firmware, when it reports a status, says the device is present.
    std::string physical;
    struct stat info {};
    const tRead link = root.followLink(entry, "physical_node", physical, info, failure);
    if (link != tRead::kRead || !S_ISDIR(info.st_mode)) {
        return link != tRead::kFailed;
    }
    tRead read = root.readFile(entry, "status", kAttributeLimit, text, failure);
    if (read == tRead::kFailed) {
        return false;
    }
    // Without a status the firmware has no _STA, and the node is present.
    // A status that is there but says nothing does not say so: one that
    // cannot be parsed, is no regular file, cannot be opened for what it is
    // (a socket, a device node without a driver, a device going away), or
    // is a link that loops, dangles or leads to a name too long.
    bool noStatus = false;
    if (read == tRead::kAbsent && failure.error == ENOENT) {
        const tRead named = root.hasEntry(entry, "status", failure);
        if (named == tRead::kFailed) {
            return false;
        }
        noStatus = named == tRead::kAbsent && failure.error == ENOENT;
    }
    const std::optional<std::uint64_t> status = read == tRead::kRead ? decimalAttribute(text) : std::nullopt;
    node.started = noStatus || (status && (*status & 1u) != 0);
    const std::optional<tRootBus> bus = node.started ? parseHostBridgeName(lastComponent(physical)) : std::nullopt;
    if (!bus) {
        return true;
    }
    // The ACPI name serves only to find the bridge's line in the kernel log.
    bridge.emplace();
    bridge->bus = *bus;
    read = root.readFile(entry, "path", kAttributeLimit, text, failure);
    if (read == tRead::kRead) {
        bridge->acpiName = acpiBusIdOfPath(text).value_or(std::string());
    }
    return read != tRead::kFailed;
}

}  // namespace

bool readAcpiNodes(const tSysroot& root, tDeviceTable& table, std::vector<tAcpiHostBridge>& bridges,
                   tReadFailure& failure) {
    // Without a readable R/sys nothing can be said about the machine; with
    // one but no ACPI device directory the machine has no ACPI nodes. A
    // device directory that loops cannot be listed: that is no empty list.
    tSysDir sys;
    if (root.directory(tSysroot::top(), "sys", sys, failure) != tRead::kRead) {
        return false;
    }
    tSysDir devices;
    std::vector<std::string> names;
    const tRead found = root.listDirectory(sys, "bus/acpi/devices", kMaxDeviceEntries, devices, names, failure);
    if (!listedOrMissing(found, failure)) {
        return false;
    }
    std::sort(names.begin(), names.end());

    table.assign(names.size(), tDeviceNode{});
    bridges.clear();
    for (std::size_t i = 0; i < names.size(); ++i) {
        std::optional<tAcpiHostBridge> bridge;
        if (!readEntry(root, devices, names[i], table[i], bridge, failure)) {
            return false;
        }
        if (bridge) {
            bridge->node = i;
            bridges.push_back(std::move(*bridge));
        }
    }
    return true;
}

namespace {

bool readTable(const tSysroot& root, tDeviceTable& table, tReadFailure& failure) {
    std::vector<tAcpiHostBridge> bridges;
    if (!readAcpiNodes(root, table, bridges, failure)) {
        return false;
    }
    if (bridges.empty()) {
        return true;
    }
    // Where a shared ECAM window stops depends on every root bus of the
    // machine: those the ACPI nodes are bound to and the host bridges sysfs
    // has, which are the same on a sound machine.
    std::vector<tRootBus> rootBuses;
    if (!readTopHostBridges(root, rootBuses, failure)) {
        return false;
    }
    for (const tAcpiHostBridge& bridge : bridges) {
        rootBuses.push_back(bridge.bus);
    }
    tRootBusRangeReader ranges(root, std::move(rootBuses));
    for (const tAcpiHostBridge& bridge : bridges) {
        std::optional<tRootBusRange> range;
        if (!ranges.rangeOf(bridge.bus, bridge.acpiName, range, failure)) {
            return false;
        }
        std::vector<tDeviceDescriptor>& config = table[bridge.node].bootConfig.emplace().descriptors;
        if (range) {
            config.push_back({ResType_BusNumber, range->first, range->last, 0, std::nullopt});
        }
    }
    return true;
}

}  // namespace

bool readLinuxDeviceTable(const std::string& root, tDeviceTable& table, tReadFailure& failure) {
    return readBeneath(root, failure, [&](const tSysroot& sysroot) { return readTable(sysroot, table, failure); });
}

tLinuxHostDeviceServices::tLinuxHostDeviceServices(std::string root)
    : emulation_([root = std::move(root)](tDeviceTable& table, std::string& failure) {
          tReadFailure why;
          if (readLinuxDeviceTable(root, table, why)) {
              return true;
          }
          failure = why.describe();
          return false;
      }) {}

iDeviceServices& platformDeviceServices() {
    static tLinuxHostDeviceServices services("/");
    return services.emulation();
}

}  // namespace nROOTSCOPE_1_0

#include "LinuxHostReader.h"

#include <algorithm>
#include <cerrno>
#include <new>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "LinuxHostParsers.h"
#include "Sysroot.h"

namespace nROOTSCOPE_1_0 {

namespace {

// Bounds on what is read from the host. sysfs attributes are at most a page;
// the ones used here are a few bytes. A kernel log buffer is rarely above a
// few MiB, and the root-bridge lines come early in it. /proc/iomem is a few
// KiB on any real machine.
constexpr std::size_t kAttributeLimit = 256;
constexpr std::size_t kKernelLogLimit = std::size_t{8} << 20;
constexpr std::size_t kKernelLogRecordLimit = 200000;
constexpr std::size_t kIomemLimit = std::size_t{1} << 20;
constexpr std::size_t kMaxDeviceEntries = 65536;

// One /dev/kmsg record is at most 8 KiB including its key=value lines; a
// read with a smaller buffer fails with EINVAL.
constexpr std::size_t kKernelLogRecordBuffer = 16384;

// Calls `onLine` for each complete line of `text`; a line cut by a size
// bound is dropped, since its end is unknown.
template <typename tOnLine>
void forEachLine(std::string_view text, bool truncated, tOnLine&& onLine) {
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        if (end == std::string_view::npos) {
            if (!truncated) {
                onLine(text);
            }
            return;
        }
        onLine(text.substr(0, end));
        text.remove_prefix(end + 1);
    }
}

struct tHostBridge {
    std::size_t node = 0;
    tRootBus bus;
    std::string acpiName;  // as the kernel log names it; may be empty
};

// The last component of a real path.
std::string_view lastComponent(std::string_view path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

// Reads one entry into `node`; a started PCI host bridge also fills
// `bridge`. False, with the failure, when the entry could not be read.
bool readEntry(const tSysroot& root, const tSysDir& entries, const std::string& name, tDeviceNode& node,
               std::optional<tHostBridge>& bridge, tReadFailure& failure) {
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
    // Without a status file the node is present; one that cannot be parsed
    // does not say so.
    const std::optional<std::uint64_t> status = read == tRead::kRead ? decimalAttribute(text) : std::nullopt;
    node.started = read == tRead::kAbsent || (status && (*status & 1u) != 0);
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

// The kernel log's root-bridge announcements. On a real machine /dev/kmsg is
// a character device whose every read gives one record; in a copy it is a
// regular file of records, one per line. A log that is absent or closed to
// this user (the normal case for non-root users) gives none.
bool readKernelLog(const tSysroot& root, std::vector<tRootBridgeRange>& announcements, tReadFailure& failure) {
    const auto take = [&announcements](std::string_view line) {
        const std::optional<std::string_view> text = kernelLogRecordText(line);
        std::optional<tRootBridgeRange> range = text ? parseRootBridgeAnnouncement(*text) : std::nullopt;
        if (range) {
            announcements.push_back(std::move(*range));
        }
    };
    tSysFile log;
    const tRead opened = root.openFile(tSysroot::top(), "dev/kmsg", log, failure);
    if (opened != tRead::kRead) {
        return opened == tRead::kAbsent || failure.error == EPERM || failure.error == EACCES;
    }
    if (S_ISREG(log.info().st_mode)) {
        std::string text;
        bool truncated = false;
        if (const int error = log.readAll(kKernelLogLimit, text, truncated); error != 0) {
            failure = {root.shown("dev/kmsg"), error, {}};
            return false;
        }
        forEachLine(text, truncated, take);
        return true;
    }
    if (!S_ISCHR(log.info().st_mode)) {
        return true;
    }
    std::vector<char> record(kKernelLogRecordBuffer);
    std::size_t total = 0;
    for (std::size_t count = 0; count < kKernelLogRecordLimit && total < kKernelLogLimit; ++count) {
        const long got = log.read(record.data(), record.size());
        // EPIPE: records were overwritten before they were read; the next
        // read goes on from the oldest one still there. EAGAIN: the end.
        if (got < 0 && (errno == EPIPE || errno == EINTR)) {
            continue;
        }
        if (got < 0 && errno != EAGAIN) {
            failure = {root.shown("dev/kmsg"), errno, {}};
            return false;
        }
        if (got <= 0) {
            return true;
        }
        total += static_cast<std::size_t>(got);
        forEachLine(std::string_view(record.data(), static_cast<std::size_t>(got)), false, take);
    }
    return true;
}

// The ECAM / MMCONFIG windows of /proc/iomem.
bool readConfigWindows(const tSysroot& root, std::vector<tBusWindow>& windows, tReadFailure& failure) {
    std::string text;
    bool truncated = false;
    const tRead read = root.readFile(tSysroot::top(), "proc/iomem", kIomemLimit, text, failure, &truncated);
    if (read == tRead::kRead) {
        forEachLine(text, truncated, [&windows](std::string_view line) {
            if (const std::optional<tBusWindow> window = parseConfigWindowLine(line)) {
                windows.push_back(*window);
            }
        });
    }
    return read != tRead::kFailed;
}

bool readTable(const tSysroot& root, tDeviceTable& table, tReadFailure& failure) {
    // Without a readable R/sys nothing can be said about the machine; with
    // one but no ACPI device directory the machine has no ACPI nodes. A
    // device directory that loops cannot be listed: that is no empty list.
    tSysDir sys;
    if (root.directory(tSysroot::top(), "sys", sys, failure) != tRead::kRead) {
        return false;
    }
    tSysDir devices;
    std::vector<std::string> names;
    const tRead found = root.directory(sys, "bus/acpi/devices", devices, failure);
    if (found == tRead::kFailed || (found == tRead::kAbsent && failure.error != ENOENT && failure.error != ENOTDIR)) {
        return false;
    }
    if (found == tRead::kRead && root.list(devices, kMaxDeviceEntries, names, failure) != tRead::kRead) {
        return false;
    }
    std::sort(names.begin(), names.end());

    table.assign(names.size(), tDeviceNode{});
    std::vector<tHostBridge> bridges;
    std::vector<tRootBus> rootBuses;
    for (std::size_t i = 0; i < names.size(); ++i) {
        std::optional<tHostBridge> bridge;
        if (!readEntry(root, devices, names[i], table[i], bridge, failure)) {
            return false;
        }
        if (bridge) {
            bridge->node = i;
            rootBuses.push_back(bridge->bus);
            bridges.push_back(std::move(*bridge));
        }
    }
    if (bridges.empty()) {
        return true;
    }

    // The whole log is read, not just up to each bridge's first line: when a
    // bridge was announced more than once, the last announcement counts.
    // /proc/iomem is read only when the log leaves a bridge without a range.
    std::vector<tRootBridgeRange> log;
    if (!readKernelLog(root, log, failure)) {
        return false;
    }
    const tAnnouncedRanges announced(log);
    std::optional<tWindowRanges> windows;
    for (const tHostBridge& bridge : bridges) {
        std::optional<std::uint32_t> end = announced.busEnd(bridge.acpiName, bridge.bus);
        if (!end && !windows) {
            std::vector<tBusWindow> iomem;
            if (!readConfigWindows(root, iomem, failure)) {
                return false;
            }
            windows.emplace(iomem, rootBuses);
        }
        if (!end) {
            end = windows->busEnd(bridge.bus);
        }
        std::vector<tDeviceDescriptor>& config = table[bridge.node].bootConfig.emplace();
        if (end) {
            config.push_back({ResType_BusNumber, bridge.bus.bus, *end, sizeof(BUSNUMBER_DES)});
        }
    }
    return true;
}

}  // namespace

bool readLinuxDeviceTable(const std::string& root, tDeviceTable& table, tReadFailure& failure) {
    tSysroot sysroot(root);
    if (!sysroot.open(failure)) {
        return false;
    }
    try {
        return readTable(sysroot, table, failure);
    } catch (const std::bad_alloc&) {
        failure = {sysroot.shown(""), ENOMEM, {}};
        return false;
    }
}

bool tLinuxHostDeviceServices::readDeviceTable(tDeviceTable& table, std::string& failure) {
    tReadFailure why;
    if (readLinuxDeviceTable(root_, table, why)) {
        return true;
    }
    failure = why.describe();
    return false;
}

iDeviceServices& platformDeviceServices() {
    static tLinuxHostDeviceServices services("/");
    return services;
}

}  // namespace nROOTSCOPE_1_0

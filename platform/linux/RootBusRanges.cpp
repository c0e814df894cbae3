// SPDX-License-Identifier: MIT
#include "RootBusRanges.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <string>
#include <utility>

namespace nROOTSCOPE_1_0 {

namespace {

// A kernel log buffer is rarely above a few MiB, and the root-bridge lines
// come early in it. /proc/iomem is a few KiB on any real machine.
constexpr std::size_t kKernelLogLimit = std::size_t{8} << 20;
constexpr std::size_t kKernelLogRecordLimit = 200000;
constexpr std::size_t kIomemLimit = std::size_t{1} << 20;
// The top of sys/devices holds a few dozen entries; the bound leaves room
// for a host bridge for every root bus the ACPI entries can name, and more.
constexpr std::size_t kMaxTopDevices = std::size_t{1} << 18;

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

std::uint64_t busKey(tRootBus bus) {
    return (std::uint64_t{bus.domain} << 8) | (bus.bus & 0xffu);
}

std::string busName(tRootBus bus) {
    char text[24];
    std::snprintf(text, sizeof text, "%04x:%02x", static_cast<unsigned>(bus.domain),
                  static_cast<unsigned>(bus.bus & 0xffu));
    return text;
}

// What one reading of the kernel log gives, record by record.
struct tLogRecords {
    std::vector<tRootBridgeRange>& announcements;
    std::vector<tBusWindow>& busResources;
    std::unordered_set<std::uint64_t>& acpiRoots;
    std::unordered_map<std::uint64_t, std::vector<tRootWindowLine>>& rootWindows;
    std::vector<tAssignmentLine>& assignments;

    void take(std::string_view line) {
        const std::optional<std::string_view> text = kernelLogRecordText(line);
        if (!text) {
            return;
        }
        if (std::optional<tRootBridgeRange> range = parseRootBridgeAnnouncement(*text)) {
            acpiRoots.insert(busKey({range->domain, range->first}));
            announcements.push_back(std::move(*range));
        } else if (const std::optional<tBusWindow> resource = parseRootBusResource(*text)) {
            busResources.push_back(*resource);
        } else if (std::optional<tRootWindowLine> window = parseRootWindowLine(*text)) {
            const std::uint64_t key = busKey(window->bus);
            rootWindows[key].push_back(std::move(*window));
        } else if (const std::optional<tRootBus> bus = parseHostBridgeStart(*text)) {
            // The bridge was (re)registered: its lines follow anew.
            rootWindows.erase(busKey(*bus));
        } else if (std::optional<tAssignmentLine> assignment = parseAssignmentLine(*text)) {
            assignments.push_back(std::move(*assignment));
        }
    }
};

// The kernel log's records. On a real machine /dev/kmsg is a character
// device whose every read gives one record; in a copy it is a regular file
// of records, one per line. A log that is absent or closed to this user
// (the normal case for non-root users) gives none.
bool readKernelLog(const tSysroot& root, tLogRecords& records, bool& closed, tReadFailure& failure) {
    const auto take = [&records](std::string_view line) { records.take(line); };
    tSysFile log;
    const tRead opened = root.openFile(tSysroot::top(), "dev/kmsg", log, failure);
    if (opened != tRead::kRead) {
        closed = failure.error == EPERM || failure.error == EACCES;
        return opened == tRead::kAbsent || closed;
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

// /proc/iomem or /proc/ioports: `onLine` for each whole line. False only
// when the file could not be read; `present` says whether it is there.
template <typename tOnLine>
bool readProcFile(const tSysroot& root, std::string_view path, bool& present, tReadFailure& failure,
                  tOnLine&& onLine) {
    std::string text;
    bool truncated = false;
    const tRead read = root.readFile(tSysroot::top(), path, kIomemLimit, text, failure, &truncated);
    present = read == tRead::kRead;
    if (present) {
        forEachLine(text, truncated, onLine);
    }
    return read != tRead::kFailed;
}

// A root bus's windows in the order tRootWindows promises.
void sortWindows(std::vector<tAddressWindow>& windows) {
    std::sort(windows.begin(), windows.end(), [](const tAddressWindow& a, const tAddressWindow& b) {
        const bool aIo = a.kind == tAddressKind::kIo;
        const bool bIo = b.kind == tAddressKind::kIo;
        return aIo != bIo ? aIo : a.first < b.first;
    });
}

}  // namespace

bool readTopHostBridges(const tSysroot& root, std::vector<tRootBus>& buses, tReadFailure& failure) {
    tSysDir devices;
    std::vector<std::string> names;
    if (!listedOrMissing(root.listDirectory(tSysroot::top(), "sys/devices", kMaxTopDevices, devices, names, failure),
                         failure)) {
        return false;
    }
    for (const std::string& name : names) {
        if (const std::optional<tRootBus> bus = parseHostBridgeName(name)) {
            buses.push_back(*bus);
        }
    }
    return true;
}

tRootBusRangeReader::tRootBusRangeReader(const tSysroot& root, std::vector<tRootBus> rootBuses)
    : root_(root), rootBuses_(std::move(rootBuses)) {}

bool tRootBusRangeReader::readLog(tReadFailure& failure) {
    if (logRead_) {
        return true;
    }
    std::vector<tRootBridgeRange> announcements;
    std::vector<tBusWindow> resources;
    tLogRecords records{announcements, resources, acpiRoots_, logWindows_, assignments_};
    if (!readKernelLog(root_, records, logClosed_, failure)) {
        return false;
    }
    announced_.emplace(announcements);
    resources_.emplace(resources);
    logRead_ = true;
    return true;
}

bool tRootBusRangeReader::readIomem(tReadFailure& failure) {
    if (iomem_.read) {
        return true;
    }
    std::vector<tBusWindow> configWindows;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> configRanges;
    std::vector<std::pair<std::uint64_t, tAddressWindow>> busWindows;
    const bool read = readProcFile(root_, "proc/iomem", iomem_.present, failure, [&](std::string_view line) {
        const std::optional<tProcResource> resource = parseProcResourceLine(line);
        if (resource && resource->last != 0) {
            iomem_.showsAddresses = true;
        }
        if (const std::optional<tBusWindow> window = parseConfigWindowLine(line)) {
            configWindows.push_back(*window);
            if (resource) {
                configRanges.emplace_back(resource->first, resource->last);
            }
        } else if (resource) {
            if (const std::optional<tRootBus> bus = parseProcBusName(resource->name)) {
                busWindows.emplace_back(busKey(*bus), tAddressWindow{tAddressKind::kMemory, resource->first,
                                                                     resource->last});
            }
        }
    });
    if (!read) {
        return false;
    }
    // A host bridge's _CRS may list its configuration window among its
    // ranges; the kernel names that "PCI Bus" too, but no card gets it.
    std::sort(configRanges.begin(), configRanges.end());
    for (const auto& [key, window] : busWindows) {
        if (!std::binary_search(configRanges.begin(), configRanges.end(), std::pair(window.first, window.last))) {
            iomem_.byBus[key].push_back(window);
        }
    }
    windows_.emplace(configWindows, rootBuses_);
    iomem_.read = true;
    return true;
}

bool tRootBusRangeReader::readIoports(tReadFailure& failure) {
    if (ioports_.read) {
        return true;
    }
    const bool read = readProcFile(root_, "proc/ioports", ioports_.present, failure, [&](std::string_view line) {
        const std::optional<tProcResource> resource = parseProcResourceLine(line);
        if (!resource) {
            return;
        }
        ioports_.showsAddresses = ioports_.showsAddresses || resource->last != 0;
        if (const std::optional<tRootBus> bus = parseProcBusName(resource->name)) {
            ioports_.byBus[busKey(*bus)].push_back({tAddressKind::kIo, resource->first, resource->last});
        }
    });
    ioports_.read = read;
    return read;
}

bool tRootBusRangeReader::rangeOf(tRootBus bus, std::string_view acpiName, std::optional<tRootBusRange>& range,
                                  tReadFailure& failure) {
    range.reset();
    if (!readLog(failure)) {
        return false;
    }
    std::optional<std::uint32_t> end = announced_->busEnd(acpiName, bus);
    if (!end) {
        end = resources_->busEnd(bus);
    }
    if (end) {
        range = tRootBusRange{bus.bus, *end, tRangeSource::kKernelLog};
        return true;
    }
    if (!readIomem(failure)) {
        return false;
    }
    if (const std::optional<std::uint32_t> windowEnd = windows_->busEnd(bus)) {
        range = tRootBusRange{bus.bus, *windowEnd, tRangeSource::kEcam};
    }
    return true;
}

bool tRootBusRangeReader::windowsOf(tRootBus bus, bool acpiNode, std::optional<tRootWindows>& windows,
                                    std::vector<std::string>& problems, tReadFailure& failure) {
    windows.reset();
    if (!readLog(failure)) {
        return false;
    }
    const std::uint64_t key = busKey(bus);
    if (const auto logged = logWindows_.find(key); logged != logWindows_.end() && !logged->second.empty()) {
        const bool acpi = acpiNode || acpiRoots_.count(key) != 0;
        const bool anyWindow = std::any_of(logged->second.begin(), logged->second.end(),
                                           [](const tRootWindowLine& line) { return line.window; });
        tRootWindows found;
        bool refused = false;
        for (const tRootWindowLine& line : logged->second) {
            if (!line.refused.empty()) {
                problems.push_back("root bus " + busName(bus) + ": a \"root bus resource\" line of the kernel log " +
                                   "is refused: " + line.refused);
                refused = true;
            } else if (!line.disabled && (line.window || !acpi || !anyWindow)) {
                found.windows.push_back(line.range);
            }
        }
        if (!refused) {
            sortWindows(found.windows);
            windows = std::move(found);
        }
        return true;
    }
    if (!readIomem(failure)) {
        return false;
    }
    const auto memory = iomem_.byBus.find(key);
    if (!iomem_.showsAddresses || memory == iomem_.byBus.end()) {
        return true;  // not root, or no entry for this bus: unknown
    }
    if (!readIoports(failure)) {
        return false;
    }
    if (!ioports_.present) {
        return true;
    }
    tRootWindows found;
    found.source = tWindowSource::kProc;
    found.windows = memory->second;
    if (const auto io = ioports_.byBus.find(key); io != ioports_.byBus.end()) {
        found.windows.insert(found.windows.end(), io->second.begin(), io->second.end());
    }
    sortWindows(found.windows);
    windows = std::move(found);
    return true;
}

bool tRootBusRangeReader::assignmentLines(const std::vector<tAssignmentLine>*& lines, tReadFailure& failure) {
    if (!readLog(failure)) {
        return false;
    }
    lines = &assignments_;
    return true;
}

}  // namespace nROOTSCOPE_1_0

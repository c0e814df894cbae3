// SPDX-License-Identifier: MIT
#include "RootBusRanges.h"

#include <cerrno>
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

// The kernel log's range lines. On a real machine /dev/kmsg is a character
// device whose every read gives one record; in a copy it is a regular file
// of records, one per line. A log that is absent or closed to this user
// (the normal case for non-root users) gives none.
bool readKernelLog(const tSysroot& root, std::vector<tRootBridgeRange>& announcements,
                   std::vector<tBusWindow>& resources, bool& closed, tReadFailure& failure) {
    const auto take = [&](std::string_view line) {
        const std::optional<std::string_view> text = kernelLogRecordText(line);
        if (!text) {
            return;
        }
        if (std::optional<tRootBridgeRange> range = parseRootBridgeAnnouncement(*text)) {
            announcements.push_back(std::move(*range));
        } else if (const std::optional<tBusWindow> resource = parseRootBusResource(*text)) {
            resources.push_back(*resource);
        }
    };
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

bool tRootBusRangeReader::rangeOf(tRootBus bus, std::string_view acpiName, std::optional<tRootBusRange>& range,
                                  tReadFailure& failure) {
    range.reset();
    if (!logRead_) {
        std::vector<tRootBridgeRange> announcements;
        std::vector<tBusWindow> resources;
        if (!readKernelLog(root_, announcements, resources, logClosed_, failure)) {
            return false;
        }
        announced_.emplace(announcements);
        resources_.emplace(resources);
        logRead_ = true;
    }
    std::optional<std::uint32_t> end = announced_->busEnd(acpiName, bus);
    if (!end) {
        end = resources_->busEnd(bus);
    }
    if (end) {
        range = tRootBusRange{bus.bus, *end, tRangeSource::kKernelLog};
        return true;
    }
    if (!windows_) {
        std::vector<tBusWindow> windows;
        if (!readConfigWindows(root_, windows, failure)) {
            return false;
        }
        windows_.emplace(windows, rootBuses_);
    }
    if (const std::optional<std::uint32_t> windowEnd = windows_->busEnd(bus)) {
        range = tRootBusRange{bus.bus, *windowEnd, tRangeSource::kEcam};
    }
    return true;
}

}  // namespace nROOTSCOPE_1_0

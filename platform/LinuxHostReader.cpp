#include "LinuxHostReader.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "LinuxHostParsers.h"

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
constexpr std::size_t kLinkLimit = 4096;

// One /dev/kmsg record is at most 8 KiB including its key=value lines; a
// read with a smaller buffer fails with EINVAL.
constexpr std::size_t kKernelLogRecordBuffer = 16384;

// kAbsent: not there; kOdd: contents the rules refuse; kFailed: the machine
// could not be read (no descriptors, no memory, an I/O error, no access).
enum class tRead { kRead, kAbsent, kOdd, kFailed };

// Nothing there, or a link that dangles or loops: missing, not a failure.
bool isAbsent(int error) {
    return error == ENOENT || error == ENOTDIR || error == ELOOP;
}

std::string joinPath(const std::string& root, std::string_view relative) {
    std::string path = root;
    if (path.empty() || path.back() != '/') {
        path += '/';
    }
    path += relative;
    return path;
}

class tFileDescriptor {
public:
    explicit tFileDescriptor(int fd) : fd_(fd) {}
    ~tFileDescriptor() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    tFileDescriptor(const tFileDescriptor&) = delete;
    tFileDescriptor& operator=(const tFileDescriptor&) = delete;

    int get() const { return fd_; }

private:
    int fd_;
};

struct tCloseDirectory {
    void operator()(DIR* directory) const { ::closedir(directory); }
};

// `path` is looked up from the directory `dir` (an absolute path ignores it).
// Non-blocking, so that a FIFO or a device in a fixture cannot hang the open;
// the file type is checked before any read.
int openForReading(int dir, const char* path) {
    return ::openat(dir, path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
}

// Reads what is left of `fd`, at most `limit` bytes, into `text`; `truncated`
// tells that there was more. False when a read fails.
bool readAll(int fd, std::size_t limit, std::string& text, bool& truncated) {
    text.clear();
    char chunk[4096];
    while (text.size() <= limit) {
        const ssize_t got = ::read(fd, chunk, std::min(sizeof chunk, limit + 1 - text.size()));
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            return false;
        }
        if (got == 0) {
            break;
        }
        text.append(chunk, static_cast<std::size_t>(got));
    }
    truncated = text.size() > limit;
    text.resize(std::min(text.size(), limit));
    return true;
}

// The regular file `path` under `dir`, whole and at most `limit` bytes. One
// that is not a regular file, or is longer, is odd contents.
tRead readRegularFile(int dir, const char* path, std::size_t limit, std::string& text, bool* truncated = nullptr) {
    tFileDescriptor fd(openForReading(dir, path));
    if (fd.get() < 0) {
        return isAbsent(errno) ? tRead::kAbsent : tRead::kFailed;
    }
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0) {
        return tRead::kFailed;
    }
    bool cut = false;
    if (!S_ISREG(info.st_mode)) {
        return tRead::kOdd;
    }
    if (!readAll(fd.get(), limit, text, cut)) {
        return tRead::kFailed;
    }
    if (truncated != nullptr) {
        *truncated = cut;
        return tRead::kRead;
    }
    return cut ? tRead::kOdd : tRead::kRead;
}

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
    std::string acpiName;  // last segment of the path attribute; may be empty
};

// Reads one entry into `node`; a started PCI host bridge also fills
// `bridge`. False when the entry could not be read.
bool readEntry(int entries, const std::string& name, tDeviceNode& node, std::optional<tHostBridge>& bridge) {
    // The attributes are looked up from one O_PATH descriptor of the entry,
    // which needs no permission on the entry itself. An entry that is not a
    // directory has no attributes and no physical node: it gets the fallback
    // ID and is not started.
    tFileDescriptor entry(::openat(entries, name.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (entry.get() < 0) {
        const bool absent = isAbsent(errno);
        node.id = makeInstanceId(std::nullopt, std::nullopt, name);
        return absent;
    }
    std::string text;
    std::optional<std::string> hid;
    std::optional<std::string> uid;
    for (const auto& [attribute, value] : {std::pair{"hid", &hid}, std::pair{"uid", &uid}}) {
        const tRead read = readRegularFile(entry.get(), attribute, kAttributeLimit, text);
        if (read == tRead::kFailed) {
            return false;
        }
        if (read == tRead::kRead) {
            *value = idAttribute(text);
        }
    }
    node.id = makeInstanceId(hid, uid, name);

    // Started: the kernel bound a physical device to the node (the link
    // resolves to a directory; one that dangles or loops does not), and the
    // firmware, when it reports a status, says the device is present.
    char target[kLinkLimit];
    const ssize_t length = ::readlinkat(entry.get(), "physical_node", target, sizeof target);
    if (length < 0) {
        return errno == EINVAL || isAbsent(errno);  // EINVAL: not a link
    }
    struct stat info {};
    if (::fstatat(entry.get(), "physical_node", &info, 0) != 0) {
        return isAbsent(errno);
    }
    if (!S_ISDIR(info.st_mode)) {
        return true;
    }
    tRead read = readRegularFile(entry.get(), "status", kAttributeLimit, text);
    if (read == tRead::kFailed) {
        return false;
    }
    // Without a status file the node is present; one that cannot be parsed
    // does not say so.
    const std::optional<std::uint64_t> status = read == tRead::kRead ? decimalAttribute(text) : std::nullopt;
    node.started = read == tRead::kAbsent || (status && (*status & 1u) != 0);
    // A target that filled the buffer may have been cut short: its last
    // segment is unknown, so it names no host bridge.
    if (!node.started || length == 0 || static_cast<std::size_t>(length) >= sizeof target) {
        return true;
    }
    std::string_view path(target, static_cast<std::size_t>(length));
    while (!path.empty() && path.back() == '/') {
        path.remove_suffix(1);
    }
    const std::size_t slash = path.rfind('/');
    const std::optional<tRootBus> bus =
        parseHostBridgeName(slash == std::string_view::npos ? path : path.substr(slash + 1));
    if (!bus) {
        return true;
    }
    // The ACPI name serves only to find the bridge's line in the kernel log.
    bridge.emplace();
    bridge->bus = *bus;
    read = readRegularFile(entry.get(), "path", kAttributeLimit, text);
    if (read == tRead::kRead) {
        bridge->acpiName = acpiNameOfPath(text).value_or(std::string());
    }
    return read != tRead::kFailed;
}

// The kernel log's root-bridge announcements. On a real machine /dev/kmsg is
// a character device whose every read gives one record; in fixtures it is a
// regular file of records, one per line. A log that is absent or closed to
// this user (the normal case for non-root users) gives none.
bool readKernelLog(const std::string& root, std::vector<tRootBridgeRange>& announcements) {
    const auto take = [&announcements](std::string_view line) {
        const std::optional<std::string_view> text = kernelLogRecordText(line);
        std::optional<tRootBridgeRange> range = text ? parseRootBridgeAnnouncement(*text) : std::nullopt;
        if (range) {
            announcements.push_back(std::move(*range));
        }
    };
    tFileDescriptor fd(openForReading(AT_FDCWD, joinPath(root, "dev/kmsg").c_str()));
    if (fd.get() < 0) {
        return isAbsent(errno) || errno == EPERM || errno == EACCES;
    }
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0) {
        return false;
    }
    if (S_ISREG(info.st_mode)) {
        std::string text;
        bool truncated = false;
        if (!readAll(fd.get(), kKernelLogLimit, text, truncated)) {
            return false;
        }
        forEachLine(text, truncated, take);
        return true;
    }
    if (!S_ISCHR(info.st_mode)) {
        return true;
    }
    std::vector<char> record(kKernelLogRecordBuffer);
    std::size_t total = 0;
    for (std::size_t count = 0; count < kKernelLogRecordLimit && total < kKernelLogLimit; ++count) {
        const ssize_t got = ::read(fd.get(), record.data(), record.size());
        // EPIPE: records were overwritten before they were read; the next
        // read goes on from the oldest one still there. EAGAIN: the end.
        if (got < 0 && (errno == EPIPE || errno == EINTR)) {
            continue;
        }
        if (got <= 0) {
            return got == 0 || errno == EAGAIN;
        }
        total += static_cast<std::size_t>(got);
        forEachLine(std::string_view(record.data(), static_cast<std::size_t>(got)), false, take);
    }
    return true;
}

// The ECAM / MMCONFIG windows of /proc/iomem.
bool readConfigWindows(const std::string& root, std::vector<tBusWindow>& windows) {
    std::string text;
    bool truncated = false;
    const tRead read = readRegularFile(AT_FDCWD, joinPath(root, "proc/iomem").c_str(), kIomemLimit, text, &truncated);
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

bool readLinuxDeviceTable(const std::string& root, tDeviceTable& table) {
    // Without a readable R/sys nothing can be said about the machine; with
    // one but no ACPI device directory the machine has no ACPI nodes.
    if (!std::unique_ptr<DIR, tCloseDirectory>(::opendir(joinPath(root, "sys").c_str()))) {
        return false;
    }
    std::vector<std::string> names;
    const std::unique_ptr<DIR, tCloseDirectory> devices(::opendir(joinPath(root, "sys/bus/acpi/devices").c_str()));
    if (!devices && errno != ENOENT && errno != ENOTDIR) {
        return false;
    }
    while (devices) {
        errno = 0;
        const dirent* entry = ::readdir(devices.get());
        if (entry == nullptr) {
            if (errno != 0) {
                return false;
            }
            break;
        }
        const std::string_view name(entry->d_name);
        if (name != "." && name != "..") {
            names.emplace_back(name);
        }
        // Cutting the list short would drop nodes silently, and which ones
        // would depend on the file system's order.
        if (names.size() > kMaxDeviceEntries) {
            return false;
        }
    }
    std::sort(names.begin(), names.end());

    table.assign(names.size(), tDeviceNode{});
    std::vector<tHostBridge> bridges;
    std::vector<tRootBus> rootBuses;
    for (std::size_t i = 0; i < names.size(); ++i) {
        std::optional<tHostBridge> bridge;
        if (!readEntry(::dirfd(devices.get()), names[i], table[i], bridge)) {
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
    std::vector<tRootBridgeRange> announcements;
    if (!readKernelLog(root, announcements)) {
        return false;
    }
    std::optional<std::vector<tBusWindow>> windows;
    for (const tHostBridge& bridge : bridges) {
        std::optional<std::uint32_t> end = kernelLogBusEnd(announcements, bridge.acpiName, bridge.bus);
        if (!end && !windows && !readConfigWindows(root, windows.emplace())) {
            return false;
        }
        if (!end) {
            end = configWindowBusEnd(*windows, rootBuses, bridge.bus);
        }
        std::vector<tDeviceDescriptor>& config = table[bridge.node].bootConfig.emplace();
        if (end) {
            config.push_back({ResType_BusNumber, bridge.bus.bus, *end, sizeof(BUSNUMBER_DES)});
        }
    }
    return true;
}

iDeviceServices& platformDeviceServices() {
    static tLinuxHostDeviceServices services("/");
    return services;
}

}  // namespace nROOTSCOPE_1_0

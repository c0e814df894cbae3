#include "LinuxHostDeviceServices.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>
#include <string_view>
#include <utility>

#include "HeldCounts.h"

namespace nROOTSCOPE_1_0 {

namespace {

// Handle values look nothing like small integers or pointers, so a caller
// that mixes them up fails instead of working by accident.
constexpr std::uintptr_t kSetBase = 0x5e7f0000;
constexpr std::uintptr_t kHandleBase = 0x1c700000;

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

// The bus-number descriptor's type word: the size of one range record,
// which is how the Windows services tag a bus-number range.
constexpr std::uint32_t kBusNumberRangeType = 16;

enum class tReadOutcome { kRead, kMissing, kFailed };

std::string joinPath(const std::string& root, std::string_view relative) {
    std::string path = root;
    if (path.empty() || path.back() != '/') {
        path += '/';
    }
    path += relative;
    return path;
}

// `path` is looked up from the directory `dir` (AT_FDCWD for the current
// one; an absolute path ignores it).
int openForReading(int dir, const char* path) {
    // Non-blocking, so that a FIFO or a device in a fixture cannot hang the
    // open; the file type is checked before any read.
    return ::openat(dir, path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
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

// Reads what is left of the open regular file `fd`, at most `limit` bytes,
// into `text`. `truncated` tells that there was more than `limit`.
tReadOutcome readOpenRegularFile(int fd, std::size_t limit, std::string& text, bool& truncated) {
    text.clear();
    truncated = false;
    char chunk[4096];
    while (text.size() <= limit) {
        const std::size_t want = std::min(sizeof chunk, limit + 1 - text.size());
        const ssize_t got = ::read(fd, chunk, want);
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            return tReadOutcome::kFailed;
        }
        if (got == 0) {
            break;
        }
        text.append(chunk, static_cast<std::size_t>(got));
    }
    if (text.size() > limit) {
        truncated = true;
        text.resize(limit);
    }
    return tReadOutcome::kRead;
}

// Reads the regular file `path` (looked up from `dir`) of at most `limit`
// bytes into `text`. `truncated` tells that there was more than `limit`.
tReadOutcome readRegularFile(int dir, const char* path, std::size_t limit, std::string& text, bool& truncated) {
    text.clear();
    truncated = false;
    tFileDescriptor fd(openForReading(dir, path));
    if (fd.get() < 0) {
        return (errno == ENOENT || errno == ENOTDIR) ? tReadOutcome::kMissing : tReadOutcome::kFailed;
    }
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode)) {
        return tReadOutcome::kFailed;
    }
    return readOpenRegularFile(fd.get(), limit, text, truncated);
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

// The kernel log: on a real machine /dev/kmsg, a character device whose
// every read() yields one record; in fixtures a regular file of records one
// per line. Either way each line goes to `onLine`.
template <typename tOnLine>
void forEachKernelLogLine(const std::string& path, tOnLine&& onLine) {
    tFileDescriptor fd(openForReading(AT_FDCWD, path.c_str()));
    if (fd.get() < 0) {
        return;  // no log, or no permission (the normal case for non-root users)
    }
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0) {
        return;
    }
    if (S_ISREG(info.st_mode)) {
        std::string text;
        bool truncated = false;
        if (readOpenRegularFile(fd.get(), kKernelLogLimit, text, truncated) == tReadOutcome::kRead) {
            forEachLine(text, truncated, onLine);
        }
        return;
    }
    if (!S_ISCHR(info.st_mode)) {
        return;
    }
    std::vector<char> record(kKernelLogRecordBuffer);
    std::size_t total = 0;
    for (std::size_t attempt = 0; attempt < kKernelLogRecordLimit && total < kKernelLogLimit; ++attempt) {
        const ssize_t got = ::read(fd.get(), record.data(), record.size());
        if (got < 0) {
            // EPIPE: records were overwritten before we got to them; the
            // next read goes on from the oldest one still there. EAGAIN is
            // the end of the log; anything else ends the read too.
            if (errno == EPIPE || errno == EINTR) {
                continue;
            }
            return;
        }
        if (got == 0) {
            return;
        }
        total += static_cast<std::size_t>(got);
        forEachLine(std::string_view(record.data(), static_cast<std::size_t>(got)), false, onLine);
    }
}

}  // namespace

tLinuxHostDeviceServices::tLinuxHostDeviceServices(std::string root) : root_(std::move(root)) {}

bool tLinuxHostDeviceServices::loadNodes() {
    if (nodesLoaded_) {
        return true;
    }
    // Without a readable R/sys nothing can be said about the machine; with
    // one but no ACPI device directory the machine has no ACPI nodes. A
    // failure is not kept: the next set tries again.
    DIR* sys = ::opendir(joinPath(root_, "sys").c_str());
    if (sys == nullptr) {
        return false;
    }
    ::closedir(sys);

    std::vector<std::string> names;
    DIR* devices = ::opendir(joinPath(root_, "sys/bus/acpi/devices").c_str());
    if (devices == nullptr) {
        if (errno != ENOENT && errno != ENOTDIR) {
            return false;
        }
    } else {
        errno = 0;
        while (names.size() < kMaxDeviceEntries) {
            const dirent* entry = ::readdir(devices);
            if (entry == nullptr) {
                break;
            }
            const std::string_view name(entry->d_name);
            if (name != "." && name != "..") {
                names.emplace_back(name);
            }
        }
        if (errno != 0) {
            ::closedir(devices);
            return false;
        }
    }
    std::sort(names.begin(), names.end());

    ++deviceTableReads_;
    nodes_.resize(names.size());
    for (std::size_t i = 0; i < names.size(); ++i) {
        readNode(::dirfd(devices), names[i], nodes_[i]);
        if (nodes_[i].hostBridge) {
            rootBuses_.push_back(nodes_[i].rootBus);
        }
    }
    if (devices != nullptr) {
        ::closedir(devices);
    }
    nodesLoaded_ = true;
    return true;
}

void tLinuxHostDeviceServices::readNode(int entries, const std::string& entryName, tNode& node) {
    // The entry's attributes are looked up from one descriptor of the entry
    // rather than down the whole path each time. An O_PATH descriptor needs
    // no permission on the entry itself, and a lookup under it needs what a
    // lookup of the full path needed. An entry that cannot be opened as a
    // directory has no attributes and no physical node: it gets the
    // fallback ID and is not started, as the lookups under it would give.
    tFileDescriptor entry(::openat(entries, entryName.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (entry.get() < 0) {
        node.id = makeInstanceId(std::nullopt, std::nullopt, entryName);
        return;
    }
    std::string text;
    bool truncated = false;

    auto attribute = [&](const char* name) -> tReadOutcome {
        const tReadOutcome outcome = readRegularFile(entry.get(), name, kAttributeLimit, text, truncated);
        return outcome == tReadOutcome::kRead && truncated ? tReadOutcome::kFailed : outcome;
    };

    std::optional<std::string> hid;
    std::optional<std::string> uid;
    if (attribute("hid") == tReadOutcome::kRead) {
        hid = idAttribute(text);
    }
    if (attribute("uid") == tReadOutcome::kRead) {
        uid = idAttribute(text);
    }
    node.id = makeInstanceId(hid, uid, entryName);

    // Started: the kernel bound a physical device to the node (the link
    // resolves to a directory; a dangling link or a loop does not), and the
    // firmware, when it reports a status, says the device is present. A
    // status that cannot be read or parsed does not say so. readlinkat
    // succeeds only on a symbolic link, and its target is wanted anyway to
    // tell a host bridge; the status is read only for a bound node, since
    // it cannot make any other node started.
    char target[kLinkLimit];
    const ssize_t length = ::readlinkat(entry.get(), "physical_node", target, sizeof target);
    struct stat info {};
    const bool bound =
        length >= 0 && ::fstatat(entry.get(), "physical_node", &info, 0) == 0 && S_ISDIR(info.st_mode);
    if (!bound) {
        return;
    }
    bool present = true;
    switch (attribute("status")) {
        case tReadOutcome::kMissing:
            break;
        case tReadOutcome::kFailed:
            present = false;
            break;
        case tReadOutcome::kRead: {
            const std::optional<std::uint64_t> status = decimalAttribute(text);
            present = status && (*status & 1u) != 0;
            break;
        }
    }
    node.started = present;
    // A target that filled the buffer may have been cut short: its last
    // segment is unknown, so it names no host bridge.
    if (!node.started || length == 0 || static_cast<std::size_t>(length) >= sizeof target) {
        return;
    }
    std::string_view path(target, static_cast<std::size_t>(length));
    while (!path.empty() && path.back() == '/') {
        path.remove_suffix(1);
    }
    const std::size_t slash = path.rfind('/');
    const std::optional<tRootBus> bus =
        parseHostBridgeName(slash == std::string_view::npos ? path : path.substr(slash + 1));
    if (!bus) {
        return;
    }
    node.hostBridge = true;
    node.rootBus = *bus;

    // The ACPI name serves only to find the bridge's line in the kernel log,
    // so no other node's path is read.
    if (attribute("path") == tReadOutcome::kRead) {
        node.acpiName = acpiNameOfPath(text).value_or(std::string());
    }
}

void tLinuxHostDeviceServices::loadKernelLog() {
    // Read once per services object: the log does not change what it said
    // at boot, and a survey asks for every root bridge's range twice. The
    // whole log is read, not just up to the first line for each bridge:
    // when a bridge was announced more than once, the last announcement
    // counts.
    if (kernelLogLoaded_) {
        return;
    }
    kernelLogLoaded_ = true;
    ++kernelLogReads_;
    forEachKernelLogLine(joinPath(root_, "dev/kmsg"), [this](std::string_view line) {
        const std::optional<std::string_view> text = kernelLogRecordText(line);
        if (!text) {
            return;
        }
        std::optional<tRootBridgeRange> range = parseRootBridgeAnnouncement(*text);
        if (range) {
            announcements_.push_back(std::move(*range));
        }
    });
}

void tLinuxHostDeviceServices::loadConfigWindows() {
    // Read once, and only when the kernel log left a bridge without a range.
    if (configWindowsLoaded_) {
        return;
    }
    configWindowsLoaded_ = true;
    ++configWindowReads_;
    std::string iomem;
    bool truncated = false;
    if (readRegularFile(AT_FDCWD, joinPath(root_, "proc/iomem").c_str(), kIomemLimit, iomem, truncated) ==
        tReadOutcome::kRead) {
        forEachLine(iomem, truncated, [this](std::string_view line) {
            const std::optional<tBusWindow> window = parseConfigWindowLine(line);
            if (window) {
                windows_.push_back(*window);
            }
        });
    }
}

std::optional<std::uint32_t> tLinuxHostDeviceServices::busEndOf(tNode& node) {
    // Worked out once per node: the survey asks for each bridge's range in
    // the range pass and again in the details pass.
    if (!node.rangeKnown) {
        node.rangeKnown = true;
        loadKernelLog();
        node.busEnd = kernelLogBusEnd(announcements_, node.acpiName, node.rootBus);
        if (!node.busEnd) {
            loadConfigWindows();
            node.busEnd = configWindowBusEnd(windows_, rootBuses_, node.rootBus);
        }
    }
    return node.busEnd;
}

tLinuxHostDeviceServices::tNode* tLinuxHostDeviceServices::nodeOf(DEVINST node) {
    if (node == 0 || node > nodes_.size()) {
        return nullptr;
    }
    return &nodes_[node - 1];
}

bool tLinuxHostDeviceServices::liveSet(HDEVINFO set) const {
    const auto value = reinterpret_cast<std::uintptr_t>(set);
    return value >= kSetBase && value - kSetBase < setLive_.size() && setLive_[value - kSetBase];
}

tLinuxHostDeviceServices::tHandle* tLinuxHostDeviceServices::liveHandle(std::uintptr_t value, bool wantLogConf,
                                                                        bool anyKind) {
    if (value < kHandleBase || value - kHandleBase >= handles_.size()) {
        return nullptr;
    }
    tHandle& handle = handles_[value - kHandleBase];
    if (!handle.live || (!anyKind && handle.isLogConf != wantLogConf)) {
        return nullptr;
    }
    return &handle;
}

std::uintptr_t tLinuxHostDeviceServices::newHandle(const tHandle& handle) {
    handles_.push_back(handle);
    if (handle.isLogConf) {
        ++logConfsHeld_;
    } else {
        ++descriptorsHeld_;
    }
    return kHandleBase + handles_.size() - 1;
}

HDEVINFO tLinuxHostDeviceServices::SetupDiGetClassDevsA(const GUID* classGuid, PCSTR enumerator, HWND,
                                                        DWORD flags) {
    // Every set covers every node; a class or enumerator filter is not
    // served, so asking for one fails rather than returning too much.
    if (enumerator != nullptr || (classGuid != nullptr && (flags & DIGCF_ALLCLASSES) == 0)) {
        return INVALID_HANDLE_VALUE;
    }
    // Every set walks the one node table.
    if (!loadNodes()) {
        return INVALID_HANDLE_VALUE;
    }
    setLive_.push_back(true);
    ++setsHeld_;
    return reinterpret_cast<HDEVINFO>(kSetBase + setLive_.size() - 1);
}

BOOL tLinuxHostDeviceServices::SetupDiGetDeviceInfoListDetailA(HDEVINFO set, SP_DEVINFO_LIST_DETAIL_DATA_A* detail) {
    if (!liveSet(set) || detail == nullptr || detail->cbSize != sizeof(SP_DEVINFO_LIST_DETAIL_DATA_A)) {
        ++misuses_;
        return FALSE;
    }
    // A local set: no class, no remote machine.
    std::memset(&detail->ClassGuid, 0, sizeof detail->ClassGuid);
    detail->RemoteMachineHandle = nullptr;
    detail->RemoteMachineName[0] = '\0';
    return TRUE;
}

BOOL tLinuxHostDeviceServices::SetupDiEnumDeviceInfo(HDEVINFO set, DWORD memberIndex, SP_DEVINFO_DATA* record) {
    if (!liveSet(set) || record == nullptr || record->cbSize != sizeof(SP_DEVINFO_DATA)) {
        ++misuses_;
        return FALSE;
    }
    if (memberIndex >= nodes_.size()) {
        return FALSE;
    }
    std::memset(&record->ClassGuid, 0, sizeof record->ClassGuid);
    record->DevInst = static_cast<DEVINST>(memberIndex + 1);
    record->Reserved = 0;
    return TRUE;
}

BOOL tLinuxHostDeviceServices::SetupDiDestroyDeviceInfoList(HDEVINFO set) {
    if (!liveSet(set)) {
        ++misuses_;
        return FALSE;
    }
    setLive_[reinterpret_cast<std::uintptr_t>(set) - kSetBase] = false;
    --setsHeld_;
    return TRUE;
}

CONFIGRET tLinuxHostDeviceServices::CM_Get_Device_IDA(DEVINST node, PSTR buffer, ULONG bufferLength, ULONG flags) {
    const tNode* hostNode = nodeOf(node);
    if (hostNode == nullptr) {
        ++misuses_;
        return CR_INVALID_DEVNODE;
    }
    if (buffer == nullptr) {
        ++misuses_;
        return CR_INVALID_POINTER;
    }
    if (flags != 0) {
        return CR_INVALID_FLAG;
    }
    const std::string& id = hostNode->id;
    if (id.size() >= bufferLength) {
        return CR_BUFFER_SMALL;
    }
    std::memcpy(buffer, id.c_str(), id.size() + 1);
    return CR_SUCCESS;
}

CONFIGRET tLinuxHostDeviceServices::CM_Get_DevNode_Status(ULONG* status, ULONG* problem, DEVINST node, ULONG flags) {
    const tNode* hostNode = nodeOf(node);
    if (hostNode == nullptr || status == nullptr || problem == nullptr) {
        ++misuses_;
        return hostNode == nullptr ? CR_INVALID_DEVNODE : CR_INVALID_POINTER;
    }
    if (flags != 0) {
        return CR_INVALID_FLAG;
    }
    *status = hostNode->started ? DN_STARTED : 0;
    *problem = 0;
    return CR_SUCCESS;
}

CONFIGRET tLinuxHostDeviceServices::CM_Get_First_Log_Conf(LOG_CONF* logConf, DEVINST node, ULONG flags) {
    tNode* hostNode = nodeOf(node);
    if (hostNode == nullptr || logConf == nullptr) {
        ++misuses_;
        return hostNode == nullptr ? CR_INVALID_DEVNODE : CR_INVALID_POINTER;
    }
    if (flags != BOOT_LOG_CONF || !hostNode->started || !hostNode->hostBridge) {
        return CR_NO_MORE_LOG_CONF;
    }
    const std::optional<std::uint32_t> end = busEndOf(*hostNode);
    tHandle handle;
    handle.isLogConf = true;
    handle.hasBusNumber = end.has_value();
    handle.base = hostNode->rootBus.bus;
    handle.end = end.value_or(0);
    *logConf = newHandle(handle);
    return CR_SUCCESS;
}

CONFIGRET tLinuxHostDeviceServices::CM_Get_Next_Res_Des(RES_DES* next, RES_DES current, RESOURCEID forResource,
                                                        RESOURCEID* resourceId, ULONG flags) {
    const tHandle* handle = liveHandle(current, false, true);
    if (handle == nullptr) {
        ++misuses_;
        return CR_INVALID_RES_DES;
    }
    if (next == nullptr || (forResource == ResType_All && resourceId == nullptr)) {
        ++misuses_;
        return CR_INVALID_POINTER;
    }
    if (flags != 0) {
        return CR_INVALID_FLAG;
    }
    // A boot configuration holds at most its one bus-number descriptor, so
    // only the log conf itself has a next one.
    const bool wanted = forResource == ResType_All || forResource == ResType_BusNumber;
    if (!handle->isLogConf || !handle->hasBusNumber || !wanted) {
        return CR_NO_MORE_RES_DES;
    }
    tHandle descriptor = *handle;  // the descriptor keeps its own copy of the range
    descriptor.isLogConf = false;
    *next = newHandle(descriptor);
    if (resourceId != nullptr) {
        *resourceId = ResType_BusNumber;
    }
    return CR_SUCCESS;
}

CONFIGRET tLinuxHostDeviceServices::CM_Get_Res_Des_Data_Size(ULONG* size, RES_DES descriptor, ULONG flags) {
    const tHandle* handle = liveHandle(descriptor, false, false);
    if (handle == nullptr || size == nullptr) {
        ++misuses_;
        return handle == nullptr ? CR_INVALID_RES_DES : CR_INVALID_POINTER;
    }
    if (flags != 0) {
        return CR_INVALID_FLAG;
    }
    *size = sizeof(BUSNUMBER_DES);
    return CR_SUCCESS;
}

CONFIGRET tLinuxHostDeviceServices::CM_Get_Res_Des_Data(RES_DES descriptor, PVOID buffer, ULONG bufferLength,
                                                        ULONG flags) {
    const tHandle* handle = liveHandle(descriptor, false, false);
    if (handle == nullptr || buffer == nullptr) {
        ++misuses_;
        return handle == nullptr ? CR_INVALID_RES_DES : CR_INVALID_POINTER;
    }
    if (flags != 0) {
        return CR_INVALID_FLAG;
    }
    if (bufferLength < sizeof(BUSNUMBER_DES)) {
        return CR_BUFFER_SMALL;
    }
    BUSNUMBER_DES header{};
    header.BUSD_Count = 1;
    header.BUSD_Type = kBusNumberRangeType;
    header.BUSD_Flags = 0;
    header.BUSD_Alloc_Base = handle->base;
    header.BUSD_Alloc_End = handle->end;
    std::memcpy(buffer, &header, sizeof header);
    return CR_SUCCESS;
}

CONFIGRET tLinuxHostDeviceServices::CM_Free_Res_Des_Handle(RES_DES descriptor) {
    tHandle* handle = liveHandle(descriptor, false, false);
    if (handle == nullptr) {
        ++misuses_;
        return CR_INVALID_RES_DES;
    }
    handle->live = false;
    --descriptorsHeld_;
    return CR_SUCCESS;
}

CONFIGRET tLinuxHostDeviceServices::CM_Free_Log_Conf_Handle(LOG_CONF logConf) {
    tHandle* handle = liveHandle(logConf, true, false);
    if (handle == nullptr) {
        ++misuses_;
        return CR_INVALID_LOG_CONF;
    }
    handle->live = false;
    --logConfsHeld_;
    return CR_SUCCESS;
}

std::string tLinuxHostDeviceServices::leakReport() const {
    return describeHeld({setsHeld_, logConfsHeld_, descriptorsHeld_, 0, misuses_});
}

iDeviceServices& platformDeviceServices() {
    static tLinuxHostDeviceServices services("/");
    return services;
}

}  // namespace nROOTSCOPE_1_0

#include "DevMgr.h"

#include <cstdlib>
#include <cstring>

#include "DeviceServices.h"
#include "Memory.h"

namespace rootscope {

namespace {

char asciiLower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// Releases a device information set on every path out of a walk.
class tDeviceSetGuard {
public:
    explicit tDeviceSetGuard(HDEVINFO set) : set_(set) {}
    ~tDeviceSetGuard() { deviceServices().SetupDiDestroyDeviceInfoList(set_); }
    tDeviceSetGuard(const tDeviceSetGuard&) = delete;
    tDeviceSetGuard& operator=(const tDeviceSetGuard&) = delete;

private:
    HDEVINFO set_;
};

// Releases a log-configuration handle on every path out of a range read.
class tLogConfGuard {
public:
    explicit tLogConfGuard(LOG_CONF logConf) : logConf_(logConf) {}
    ~tLogConfGuard() { deviceServices().CM_Free_Log_Conf_Handle(logConf_); }
    tLogConfGuard(const tLogConfGuard&) = delete;
    tLogConfGuard& operator=(const tLogConfGuard&) = delete;

private:
    LOG_CONF logConf_;
};

// The descriptor the walk stands on. Taking the next one releases the
// previous; whatever is held at the end is released before the log conf.
class tResDesCursor {
public:
    tResDesCursor() = default;
    ~tResDesCursor() { release(); }
    tResDesCursor(const tResDesCursor&) = delete;
    tResDesCursor& operator=(const tResDesCursor&) = delete;

    bool held() const { return held_; }
    RES_DES get() const { return descriptor_; }

    void moveTo(RES_DES next) {
        release();
        descriptor_ = next;
        held_ = true;
    }

private:
    void release() {
        if (held_) {
            deviceServices().CM_Free_Res_Des_Handle(descriptor_);
            held_ = false;
        }
    }

    RES_DES descriptor_ = 0;
    bool held_ = false;
};

// Demotes the error a descriptor step left in `scratch` to a warning in
// `status`. Recorded only when `status` still held success, so the first
// warning of the run keeps its place.
void demoteInto(tStatusBlock& status, const tStatusBlock& scratch) {
    status.setCode(std::abs(scratch.code), scratch.component, scratch.file, scratch.line);
}

std::uint32_t readWord(const unsigned char* bytes, std::size_t offset) {
    std::uint32_t word = 0;
    std::memcpy(&word, bytes + offset, sizeof word);
    return word;
}

// What tells an ASCII capital from its lower case.
constexpr char kCaseBit = 0x20;

// Eight bytes of text with the ASCII capitals A to Z turned to lower case and
// every other byte, 0x80 and above included, left alone: asciiLower on all
// eight at once.
std::uint64_t asciiLowerWord(std::uint64_t word) {
    constexpr std::uint64_t kHighBits = 0x8080808080808080u;
    const std::uint64_t low7 = word & ~kHighBits;
    const std::uint64_t atLeastA = low7 + 0x3F3F3F3F3F3F3F3Fu;  // high bit set: low7 >= 'A'
    const std::uint64_t pastZ = low7 + 0x2525252525252525u;     // high bit set: low7 > 'Z'
    const std::uint64_t capitals = atLeastA & ~pastZ & ~word & kHighBits;
    return word | (capitals >> 2);  // 0x80 >> 2 is the case bit
}

// A pattern taken apart once per walk rather than once per node: the length
// of the part before its first "*", whether it has a "*" at all, and that
// prefix folded to lower case, eight bytes to a word, with a mask that keeps
// the prefix's bytes of the last word.
struct tIdPattern {
    static constexpr std::size_t kMaxWords = 4;

    const char* text;
    std::size_t prefixLength;
    bool hasStar;
    char firstFolded;  // the first character with the case bit set
    std::size_t words;  // 0: the prefix is too long for words and is compared byte by byte
    std::uint64_t lowered[kMaxWords];
    std::uint64_t lastMask;
};

tIdPattern parsePattern(const char* pattern) {
    tIdPattern parsed{};
    parsed.text = pattern;
    parsed.firstFolded = static_cast<char>(pattern[0] | kCaseBit);
    const char* star = std::strchr(pattern, '*');
    if (star == nullptr) {
        return parsed;
    }
    parsed.hasStar = true;
    parsed.prefixLength = static_cast<std::size_t>(star - pattern);
    const std::size_t words = (parsed.prefixLength + 7) / 8;
    if (words == 0 || words > tIdPattern::kMaxWords) {
        return parsed;
    }
    unsigned char bytes[tIdPattern::kMaxWords * 8] = {};
    for (std::size_t i = 0; i < parsed.prefixLength; ++i) {
        bytes[i] = static_cast<unsigned char>(asciiLower(pattern[i]));
    }
    std::memcpy(parsed.lowered, bytes, sizeof parsed.lowered);
    parsed.words = words;
    // Keeps the bytes of the last word that belong to the prefix, counted in
    // memory order.
    const std::size_t tail = parsed.prefixLength - (words - 1) * 8;
    unsigned char keep[8] = {};
    std::memset(keep, 0xFF, tail);
    std::memcpy(&parsed.lastMask, keep, sizeof keep);
    return parsed;
}

// The prefix compared a word at a time, without a branch per byte; needs
// pattern.words != 0 and an ID buffer of at least pattern.words * 8 bytes. A
// NUL in the ID before the prefix's end differs like any other byte: the
// prefix has none.
bool prefixWordsMatch(const char* id, const tIdPattern& pattern) {
    std::uint64_t differ = 0;
    for (std::size_t w = 0; w < pattern.words; ++w) {
        std::uint64_t word = 0;
        std::memcpy(&word, id + w * 8, sizeof word);
        const std::uint64_t mask = w + 1 == pattern.words ? pattern.lastMask : ~std::uint64_t{0};
        differ |= (asciiLowerWord(word) ^ pattern.lowered[w]) & mask;
    }
    return differ == 0;
}

// Nearly every node of a machine is told apart by its first byte (PCI, USB,
// HID...), so that one is tried on its own, loosely: with the case bit
// forced, which never turns a match away (a capital and its lower case
// differ only in that bit). The exact test follows only when it passes.
bool firstByteMayMatch(const char* id, const tIdPattern& pattern) {
    return (id[0] | kCaseBit) == pattern.firstFolded;
}

bool idMatchesPrefix(const char* id, std::size_t idCapacity, const tIdPattern& pattern) {
    if (pattern.prefixLength == 0) {
        return true;
    }
    if (idCapacity == 0 || !firstByteMayMatch(id, pattern)) {
        return false;
    }
    if (pattern.words != 0 && idCapacity >= pattern.words * 8) {
        return prefixWordsMatch(id, pattern);
    }
    for (std::size_t i = 0; i < pattern.prefixLength; ++i) {
        if (i >= idCapacity || id[i] == '\0' || asciiLower(id[i]) != asciiLower(pattern.text[i])) {
            return false;
        }
    }
    return true;
}

bool idMatches(const char* id, std::size_t idCapacity, const tIdPattern& pattern) {
    if (pattern.hasStar) {
        return idMatchesPrefix(id, idCapacity, pattern);
    }
    for (std::size_t i = 0;; ++i) {
        const char idChar = i < idCapacity ? id[i] : '\0';
        if (asciiLower(idChar) != asciiLower(pattern.text[i])) {
            return false;
        }
        if (idChar == '\0') {
            return true;
        }
    }
}

}  // namespace

bool instanceIdMatches(const char* id, std::size_t idCapacity, const char* pattern) {
    return idMatches(id, idCapacity, parsePattern(pattern));
}

void readInstanceId(DEVINST node, char* buffer, tStatusBlock& scratch) {
    std::memset(buffer, 0, kInstanceIdBufferSize);
    if (scratch.isError()) {
        return;
    }
    const CONFIGRET result =
        deviceServices().CM_Get_Device_IDA(node, buffer, static_cast<ULONG>(kInstanceIdBufferSize), 0);
    if (result != CR_SUCCESS) {
        buffer[0] = '\0';
        ROOTSCOPE_RAISE(scratch, kStatusConfigQueryFailed);
        return;
    }
    // A service may fill the whole buffer without a terminator.
    buffer[kInstanceIdBufferSize - 1] = '\0';
}

void forEachMatchingDevice(const char* pattern, tDeviceVisitor visitor, void* context, tStatusBlock& status) {
    if (status.isError()) {
        return;
    }
    iDeviceServices& services = deviceServices();
    HDEVINFO set = services.SetupDiGetClassDevsA(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES);
    if (set == INVALID_HANDLE_VALUE) {
        // A database that cannot be read is not an empty machine.
        ROOTSCOPE_RAISE(status, kStatusConfigQueryFailed);
        return;
    }
    tDeviceSetGuard setGuard(set);

    SP_DEVINFO_LIST_DETAIL_DATA_A detail;
    std::memset(&detail, 0, sizeof detail);
    detail.cbSize = sizeof detail;
    if (!services.SetupDiGetDeviceInfoListDetailA(set, &detail)) {
        ROOTSCOPE_RAISE(status, kStatusConfigQueryFailed);
        return;
    }

    const tIdPattern idPattern = parsePattern(pattern);
    // Cleared once per walk, not per node: the matcher reads whole words of
    // it, and the bytes past an ID's end must be ones this walk has written.
    char id[kInstanceIdBufferSize];
    std::memset(id, 0, sizeof id);
    // Filled by every successful enumeration; only its size field is ours.
    SP_DEVINFO_DATA record;
    std::memset(&record, 0, sizeof record);
    record.cbSize = sizeof record;
    // Only a visitor writes into the run's block during a walk, so whether it
    // holds an error is looked at again after each visit, not at every node.
    bool errorHeld = false;
    const auto walkNodes = [&](auto matches) {
        for (DWORD index = 0;; ++index) {
            if (!services.SetupDiEnumDeviceInfo(set, index, &record)) {
                break;
            }
            // Reading a node's ID reports into a scratch block that inherits
            // the run's state and is then thrown away, so all the walk takes
            // from it is whether the ID was read: not when the run holds an
            // error, nor when the read fails. Both are asked directly, with
            // no block built, no buffer cleared and no place recorded per
            // node. An ID that fills the whole buffer without a terminator
            // needs none here: the matcher never reads past the buffer.
            if (errorHeld ||
                services.CM_Get_Device_IDA(record.DevInst, id, static_cast<ULONG>(sizeof id), 0) != CR_SUCCESS) {
                id[0] = '\0';
            }
            if (matches(id)) {
                visitor(set, record, index, context, status);
                errorHeld = status.isError();
            }
            if (index == ~DWORD{0}) {
                break;
            }
        }
    };
    // The kind of pattern is settled once per walk, not asked again per node:
    // the program's own patterns, a prefix and a "*", take the short road.
    static_assert(tIdPattern::kMaxWords * 8 <= sizeof id);
    if (idPattern.hasStar && idPattern.words != 0) {
        walkNodes([&idPattern](const char* nodeId) {
            return firstByteMayMatch(nodeId, idPattern) && prefixWordsMatch(nodeId, idPattern);
        });
    } else {
        walkNodes([&idPattern](const char* nodeId) { return idMatches(nodeId, kInstanceIdBufferSize, idPattern); });
    }
}

bool isNodeStarted(DEVINST node) {
    ULONG bits = 0;
    ULONG problem = 0;
    const CONFIGRET result = deviceServices().CM_Get_DevNode_Status(&bits, &problem, node, 0);
    return result == CR_SUCCESS && (bits & DN_STARTED) != 0;
}

bool getFirstLogConf(DEVINST node, ULONG kind, LOG_CONF& logConf, tStatusBlock& status) {
    if (status.isError()) {
        return false;
    }
    const CONFIGRET result = deviceServices().CM_Get_First_Log_Conf(&logConf, node, kind);
    if (result == CR_SUCCESS) {
        return true;
    }
    if (result != CR_NO_MORE_LOG_CONF) {
        ROOTSCOPE_RAISE(status, kStatusConfigQueryFailed);
    }
    return false;
}

ULONG getResDesDataSize(RES_DES descriptor, tStatusBlock& status) {
    if (status.isError()) {
        return 0;
    }
    ULONG size = 0;
    if (deviceServices().CM_Get_Res_Des_Data_Size(&size, descriptor, 0) != CR_SUCCESS) {
        ROOTSCOPE_RAISE(status, kStatusConfigQueryFailed);
        return 0;
    }
    return size;
}

void getResDesData(RES_DES descriptor, void* buffer, ULONG size, tStatusBlock& status) {
    if (status.isError()) {
        return;
    }
    if (deviceServices().CM_Get_Res_Des_Data(descriptor, buffer, size, 0) != CR_SUCCESS) {
        ROOTSCOPE_RAISE(status, kStatusConfigQueryFailed);
    }
}

void getBusNumberRange(DEVINST node, std::int32_t& low, std::int32_t& high, ULONG kind, tStatusBlock& status) {
    if (status.isError()) {
        return;
    }
    LOG_CONF logConf = 0;
    if (!getFirstLogConf(node, kind, logConf, status)) {
        return;
    }
    // Declared in this order so the descriptor goes back before the log conf.
    tLogConfGuard logConfGuard(logConf);
    tResDesCursor current;

    iDeviceServices& services = deviceServices();
    while (!status.isError()) {
        RES_DES next = 0;
        RESOURCEID type = 0;
        const CONFIGRET result =
            services.CM_Get_Next_Res_Des(&next, current.held() ? current.get() : logConf, ResType_All, &type, 0);
        if (result == CR_NO_MORE_RES_DES) {
            break;
        }
        if (result != CR_SUCCESS) {
            ROOTSCOPE_RAISE(status, kStatusConfigQueryFailed);
            break;
        }
        current.moveTo(next);
        if (type != ResType_BusNumber) {
            continue;
        }

        tStatusBlock scratch = makeStatusBlock();
        scratch.mergeFrom(status);
        const ULONG size = getResDesDataSize(next, scratch);
        // Data shorter than the five-word header holds no range: it is
        // treated like no data at all, and nothing is read from it.
        if (scratch.isError() || size < sizeof(BUSNUMBER_DES)) {
            demoteInto(status, scratch);
            status.setCode(-kStatusBusNumberDataEmpty, kStatusComponent, __FILE__, __LINE__);
            continue;
        }

        tBufferGuard buffer(size, status);
        if (status.isError()) {
            break;
        }
        getResDesData(next, buffer.get(), size, scratch);
        if (!scratch.isError()) {
            const auto* bytes = static_cast<const unsigned char*>(buffer.get());
            low = static_cast<std::int32_t>(readWord(bytes, offsetof(BUSNUMBER_DES, BUSD_Alloc_Base)));
            high = static_cast<std::int32_t>(readWord(bytes, offsetof(BUSNUMBER_DES, BUSD_Alloc_End)));
        } else {
            demoteInto(status, scratch);
        }
    }
}

}  // namespace rootscope

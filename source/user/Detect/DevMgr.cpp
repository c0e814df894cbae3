#include "DevMgr.h"

#include <cstdlib>
#include <cstring>

#include "DeviceServices.h"
#include "Memory.h"

namespace nROOTSCOPE_1_0 {

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
constexpr unsigned char kCaseBit = 0x20;

bool isAsciiLetter(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

// A pattern taken apart once per walk rather than once per node: the length
// of the part before its first "*", whether it has a "*" at all, and the one
// byte of that prefix a node is tried on before the rest.
//
// Instance IDs run "ENUMERATOR\DEVICE\INSTANCE", and a great many nodes share
// the start of one: every ACPI node begins "ACPI\", a root bridge's and each
// processor's alike. Where kinds of device differ is the end of the device
// part, so that is where a node is tried first: at the prefix's last byte
// that is not a separator. Whether a node goes on to the full test then
// hardly ever changes from one node to the next, so the processor's guess
// about it stays right. The byte is read on its own: the service has just
// written the ID in pieces of its own choosing, and a one-byte read never
// straddles two of them, where a wider one would wait for both to land.
struct tIdPattern {
    const char* text;
    std::size_t prefixLength;
    bool hasStar;
    std::size_t tellingAt;
    unsigned char tellingLowered;  // that byte in lower case
    unsigned char tellingCaseBit;  // the case bit when it is a letter, else 0
};

tIdPattern parsePattern(const char* pattern) {
    tIdPattern parsed{};
    parsed.text = pattern;
    const char* star = std::strchr(pattern, '*');
    if (star == nullptr) {
        return parsed;
    }
    parsed.hasStar = true;
    parsed.prefixLength = static_cast<std::size_t>(star - pattern);
    if (parsed.prefixLength == 0) {
        return parsed;
    }
    std::size_t at = parsed.prefixLength - 1;
    while (at > 0 && pattern[at] == '\\') {
        --at;
    }
    parsed.tellingAt = at;
    parsed.tellingLowered = static_cast<unsigned char>(asciiLower(pattern[at]));
    parsed.tellingCaseBit = isAsciiLetter(pattern[at]) ? kCaseBit : static_cast<unsigned char>(0);
    return parsed;
}

bool idMatchesPrefix(const char* id, std::size_t idCapacity, const tIdPattern& pattern) {
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
    // Cleared once per walk, not per node: the matcher may look at a byte
    // past an ID's end, which must be one this walk has written.
    char id[kInstanceIdBufferSize];
    std::memset(id, 0, sizeof id);
    // Filled by every successful enumeration; only its size field is ours.
    SP_DEVINFO_DATA record;
    std::memset(&record, 0, sizeof record);
    record.cbSize = sizeof record;
    // `mayMatch` is a cheap first test that may look at whatever the buffer
    // holds; `matches` decides. Reading a node's ID reports into a scratch
    // block that inherits the run's state and is then thrown away, so all
    // the walk takes from it is whether the ID was read: not when the run
    // holds an error, nor when the read fails. Both are asked directly, with
    // no block built and no buffer cleared per node. A failed read may leave
    // anything in the buffer, the last node's ID included, so a node that
    // passes the first test is then asked whether its read succeeded and, if
    // not, goes on with an empty ID; a node that fails it costs the two
    // service calls and one byte. An ID that fills the whole buffer without
    // a terminator needs none here: the matcher never reads past the buffer.
    // Only a visitor writes into the run's block during a walk, so whether it
    // holds an error is asked after a visit, and a walk that meets one goes
    // on below without reading IDs.
    const auto walkNodes = [&](auto mayMatch, auto matches) {
        DWORD index = 0;
        if (!services.SetupDiEnumDeviceInfo(set, index, &record)) {
            return;
        }
        for (;;) {
            const CONFIGRET read =
                services.CM_Get_Device_IDA(record.DevInst, id, static_cast<ULONG>(sizeof id), 0);
            if (mayMatch(id)) {
                if (read != CR_SUCCESS) {
                    id[0] = '\0';
                }
                if (matches(id)) {
                    visitor(set, record, index, context, status);
                    if (status.isError()) {
                        break;
                    }
                }
            }
            if (++index == 0) {
                return;  // past the last index a DWORD can name
            }
            if (!services.SetupDiEnumDeviceInfo(set, index, &record)) {
                return;
            }
        }
        // The run holds an error: every later node is still enumerated and
        // offered with an empty ID, and visitors, seeing the error, do nothing.
        id[0] = '\0';
        while (++index != 0 && services.SetupDiEnumDeviceInfo(set, index, &record)) {
            if (matches(id)) {
                visitor(set, record, index, context, status);
            }
        }
    };
    // The kind of pattern is settled once per walk, not asked again per node:
    // the program's own patterns, a prefix and a "*", take the short road.
    if (idPattern.hasStar && idPattern.prefixLength != 0 && idPattern.prefixLength <= sizeof id) {
        // Copied out of the pattern so they can stay in registers across the
        // service calls. Where the prefix holds a letter, setting the case
        // bit of the ID's byte leaves it equal to the letter's lower case
        // exactly when the byte is that letter in either case; any other
        // byte must match as it stands, as asciiLower would leave it too. A
        // byte past the ID's end is one this walk has written, and at worst
        // lets a node on to the full test.
        const std::size_t at = idPattern.tellingAt;
        const unsigned char lowered = idPattern.tellingLowered;
        const unsigned char caseBit = idPattern.tellingCaseBit;
        walkNodes(
            [at, lowered, caseBit](const char* nodeId) {
                return static_cast<unsigned char>(nodeId[at] | caseBit) == lowered;
            },
            [&idPattern](const char* nodeId) { return idMatchesPrefix(nodeId, kInstanceIdBufferSize, idPattern); });
    } else {
        walkNodes([](const char*) { return true; },
                  [&idPattern](const char* nodeId) { return idMatches(nodeId, kInstanceIdBufferSize, idPattern); });
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

}  // namespace nROOTSCOPE_1_0

// SPDX-License-Identifier: MIT
#include "Capture.h"

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <initializer_list>
#include <new>
#include <optional>
#include <string_view>
#include <system_error>
#include <unordered_map>
#include <utility>
#include <vector>

#include "DevMgr.h"
#include "DeviceServices.h"
#include "Memory.h"
#include "StatusBlock.h"

#if defined(_WIN32)
#include <process.h>

#include "WindowsHeaders.h"
#else
#include <unistd.h>
#endif

namespace nROOTSCOPE_1_0 {

namespace {

// The errors a property read leaves when the device has no such property
// (the reader's list): the property is then absent from the capture too.
constexpr DWORD kPropertyNotSet[] = {static_cast<DWORD>(ERROR_INVALID_DATA), static_cast<DWORD>(ERROR_NOT_FOUND),
                                     static_cast<DWORD>(ERROR_FILE_NOT_FOUND),
                                     static_cast<DWORD>(ERROR_NO_MORE_ITEMS)};

bool propertyNotSet(DWORD error) {
    for (const DWORD notSet : kPropertyNotSet) {
        if (error == notSet) {
            return true;
        }
    }
    return false;
}

std::string hexCode(unsigned long code) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%lx", code);
    return text;
}

struct tCapturedDescriptor {
    RESOURCEID type = ResType_BusNumber;
    std::uint64_t base = 0;
    std::uint64_t end = 0;
    DWORD flags = 0;
    std::optional<ULONG> size;  // none: the header's own size
    CONFIGRET sizeResult = CR_SUCCESS;
    CONFIGRET dataResult = CR_SUCCESS;
};

struct tCapturedConfig {
    CONFIGRET result = CR_SUCCESS;
    std::vector<tCapturedDescriptor> descriptors;
    CONFIGRET endResult = CR_NO_MORE_RES_DES;
};

struct tCapturedNode {
    DEVINST devinst = 0;
    std::string id;
    CONFIGRET idResult = CR_SUCCESS;
    bool started = false;
    CONFIGRET statusResult = CR_SUCCESS;
    std::optional<ULONG> problem;
    std::optional<std::size_t> parent;
    std::optional<DWORD> busNumber;
    std::optional<DWORD> address;
    std::optional<DWORD> uiNumber;
    std::optional<ULONG> deviceType;
    std::optional<ULONG> barTypes;
    std::optional<tCapturedConfig> bootConfig;
    std::optional<tCapturedConfig> allocConfig;
};

struct tCapturedFailure {
    const char* call;
    std::uint64_t nth;
    DWORD result;
};

// The header a descriptor of `type` is served with, so its base, end and
// flags can be read from the data, and the size the data has when it holds
// the header alone.
std::size_t headerSize(RESOURCEID type) {
    switch (type) {
        case ResType_Mem: return sizeof(MEM_DES);
        case ResType_MemLarge: return sizeof(MEM_LARGE_DES);
        case ResType_IO: return sizeof(IO_DES);
        default: return sizeof(BUSNUMBER_DES);
    }
}

template <typename T>
T readAt(const unsigned char* bytes, std::size_t offset) {
    T value{};
    std::memcpy(&value, bytes + offset, sizeof value);
    return value;
}

// The range and flags of a descriptor's data. Data cut short reads as zeros
// past its end, as the fixture's descriptor then serves it.
void decodeHeader(tCapturedDescriptor& descriptor, const unsigned char* data, std::size_t size) {
    unsigned char header[sizeof(MEM_DES)] = {};
    std::memcpy(header, data, size < sizeof header ? size : sizeof header);
    if (descriptor.type == ResType_BusNumber) {
        descriptor.base = readAt<ULONG>(header, offsetof(BUSNUMBER_DES, BUSD_Alloc_Base));
        descriptor.end = readAt<ULONG>(header, offsetof(BUSNUMBER_DES, BUSD_Alloc_End));
    } else if (descriptor.type == ResType_IO) {
        descriptor.base = readAt<DWORDLONG>(header, offsetof(IO_DES, IOD_Alloc_Base));
        descriptor.end = readAt<DWORDLONG>(header, offsetof(IO_DES, IOD_Alloc_End));
        descriptor.flags = readAt<DWORD>(header, offsetof(IO_DES, IOD_DesFlags));
    } else {
        // MEM_LARGE_DES has MEM_DES's layout.
        descriptor.base = readAt<DWORDLONG>(header, offsetof(MEM_DES, MD_Alloc_Base));
        descriptor.end = readAt<DWORDLONG>(header, offsetof(MEM_DES, MD_Alloc_End));
        descriptor.flags = readAt<DWORD>(header, offsetof(MEM_DES, MD_Flags));
    }
}

bool isHex(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// Whether an instance ID's last part is a location as Windows builds one:
// hex fields of up to eight digits joined by "&" ("3&11583659&0&E0", or a
// root bridge's "0"). A serial number is longer or holds other characters.
bool isLocation(std::string_view instance) {
    std::size_t digits = 0;
    for (const char c : instance) {
        if (c == '&' && digits > 0) {
            digits = 0;
        } else if (isHex(c) && ++digits <= 8) {
            continue;
        } else {
            return false;
        }
    }
    return digits > 0;
}

// Writes JSON laid out as the fixtures in the tree are: one key or element
// a line, indented one space a level.
class tJsonText {
public:
    std::string& text() { return text_; }

    void openObject(const char* key = nullptr) { open(key, '{'); }
    void closeObject() { close('}'); }
    void openArray(const char* key) { open(key, '['); }
    void closeArray() { close(']'); }
    void number(const char* key, std::uint64_t value) {
        begin(key);
        text_ += std::to_string(value);
    }
    void boolean(const char* key, bool value) {
        begin(key);
        text_ += value ? "true" : "false";
    }
    void string(const char* key, const std::string& value) {
        begin(key);
        text_ += jsonString(value);
    }

private:
    void begin(const char* key) {
        if (!first_.empty()) {
            text_ += first_.back() ? "\n" : ",\n";
            first_.back() = false;
            text_.append(first_.size(), ' ');
        }
        if (key != nullptr) {
            text_ += jsonString(key);
            text_ += ": ";
        }
    }
    void open(const char* key, char bracket) {
        begin(key);
        text_ += bracket;
        first_.push_back(true);
    }
    void close(char bracket) {
        const bool empty = first_.back();
        first_.pop_back();
        if (!empty) {
            text_ += '\n';
            text_.append(first_.size(), ' ');
        }
        text_ += bracket;
    }

    std::string text_;
    std::vector<bool> first_;  // per open container: nothing written in it yet
};

// Releases the configuration and descriptor handles of one configuration
// read, descriptor first, on every path out of it.
class tConfigHandles {
public:
    tConfigHandles(iDeviceServices& services, LOG_CONF logConf) : services_(services), logConf_(logConf) {}
    ~tConfigHandles() {
        release();
        services_.CM_Free_Log_Conf_Handle(logConf_);
    }
    tConfigHandles(const tConfigHandles&) = delete;
    tConfigHandles& operator=(const tConfigHandles&) = delete;

    // Takes the next descriptor, giving back the one held.
    void hold(RES_DES descriptor) {
        release();
        descriptor_ = descriptor;
        held_ = true;
    }
    // Where the next CM_Get_Next_Res_Des starts.
    RES_DES current() const { return held_ ? descriptor_ : static_cast<RES_DES>(logConf_); }

private:
    void release() {
        if (held_) {
            services_.CM_Free_Res_Des_Handle(descriptor_);
            held_ = false;
        }
    }

    iDeviceServices& services_;
    LOG_CONF logConf_;
    RES_DES descriptor_ = 0;
    bool held_ = false;
};

class tCapturer {
public:
    tCapturer(HDEVINFO set, std::string& failure) : services_(deviceServices()), set_(set), failure_(failure) {}

    // The reads are made in the reader's order, call by call of each kind,
    // so that a database failing its nth call of a kind fails the same
    // read here as there.
    bool capture() {
        if (!readMembers()) {
            return false;
        }
        std::vector<std::optional<std::string>> ids(order_.size());
        std::vector<CONFIGRET> idResults(order_.size(), CR_SUCCESS);
        for (std::size_t i = 0; i < order_.size(); ++i) {
            idResults[i] = readId(order_[i], ids[i]);
        }
        readHackFlags();
        for (const char* pattern : {kPciRootBridgePattern, kPciExpressRootBridgePattern}) {
            for (std::size_t i = 0; i < order_.size(); ++i) {
                if (ids[i] && instanceIdMatches(ids[i]->c_str(), ids[i]->size() + 1, pattern) &&
                    !captured_.count(order_[i])) {
                    tCapturedNode status;
                    status.devinst = order_[i];
                    readStatus(status);
                    if (status.started && !captureRoot(status, *ids[i])) {
                        return false;
                    }
                }
            }
        }
        // A member whose ID could not be read might have been a root bridge;
        // the replay says so as the reader does here.
        for (std::size_t i = 0; i < order_.size(); ++i) {
            if (idResults[i] != CR_SUCCESS && !captured_.count(order_[i])) {
                tCapturedNode& node = add(order_[i], std::nullopt);
                node.idResult = idResults[i];
            }
        }
        readBarTypes();
        return true;
    }

    std::string fixture() const {
        tJsonText json;
        json.openObject();
        if (hackFlagsUnreadable_) {
            json.string("hack_flags", "unreadable");
        } else if (hackFlags_) {
            json.number("hack_flags", *hackFlags_);
        }
        json.openArray("nodes");
        for (const tCapturedNode& node : nodes_) {
            writeNode(json, node);
        }
        json.closeArray();
        if (!failedCalls_.empty()) {
            json.openArray("fail_calls");
            for (const tCapturedFailure& failed : failedCalls_) {
                json.openObject();
                json.string("call", failed.call);
                json.number("nth", failed.nth);
                json.number("result", failed.result);
                json.closeObject();
            }
            json.closeArray();
        }
        json.closeObject();
        json.text() += '\n';
        return std::move(json.text());
    }

    std::size_t nodes() const { return nodes_.size(); }
    std::size_t roots() const { return roots_; }

private:
    bool fail(const std::string& what) {
        failure_ = "the device database: " + what;
        return false;
    }

    bool readMembers() {
        for (DWORD index = 0;; ++index) {
            SP_DEVINFO_DATA record;
            std::memset(&record, 0, sizeof record);
            record.cbSize = sizeof record;
            if (!services_.SetupDiEnumDeviceInfo(set_, index, &record)) {
                const DWORD error = services_.GetLastError();
                if (error == static_cast<DWORD>(ERROR_NO_MORE_ITEMS)) {
                    return true;
                }
                return fail("SetupDiEnumDeviceInfo failed at member " + std::to_string(index) + " (error " +
                            std::to_string(error) + ")");
            }
            members_.emplace(record.DevInst, record);
            order_.push_back(record.DevInst);
        }
    }

    CONFIGRET readId(DEVINST node, std::optional<std::string>& id) {
        char buffer[kInstanceIdBufferSize] = {};
        const CONFIGRET result =
            services_.CM_Get_Device_IDA(node, buffer, static_cast<ULONG>(sizeof buffer), 0);
        if (result != CR_SUCCESS) {
            id.reset();
            return result;
        }
        buffer[sizeof buffer - 1] = '\0';  // a service may fill the buffer without a terminator
        id = buffer;
        return CR_SUCCESS;
    }

    void readHackFlags() {
        DWORD type = 0;
        DWORD value = 0;
        DWORD size = sizeof value;
        const LSTATUS result = services_.RegGetValueA(HKEY_LOCAL_MACHINE, kPciHackFlagsKey, kPciHackFlagsValue,
                                                      RRF_RT_REG_DWORD, &type, &value, &size);
        if (result == ERROR_SUCCESS && type == REG_DWORD && size == sizeof value) {
            hackFlags_ = value;
        } else if (result != ERROR_FILE_NOT_FOUND) {
            hackFlagsUnreadable_ = true;
        }
    }

    tCapturedNode& add(DEVINST devinst, std::optional<std::size_t> parent) {
        captured_.emplace(devinst, nodes_.size());
        tCapturedNode& node = nodes_.emplace_back();
        node.devinst = devinst;
        node.parent = parent;
        return node;
    }

    // A root bridge, then its tree depth first, in the reader's order: its
    // boot configuration before the walk, its allocated one after it.
    bool captureRoot(const tCapturedNode& status, const std::string& id) {
        ++roots_;
        const DEVINST root = status.devinst;
        const std::size_t rootIndex = nodes_.size();
        tCapturedNode& node = add(root, std::nullopt);
        node.id = capturedInstanceId(id, rootIndex);
        node.started = status.started;
        node.problem = status.problem;
        if (!readConfig(root, BOOT_LOG_CONF, nodes_[rootIndex].bootConfig)) {
            return false;
        }
        struct tStep {
            DEVINST node;
            std::size_t parent;
        };
        std::vector<tStep> pending;
        std::vector<DEVINST> children;
        if (!childrenOf(root, children)) {
            return false;
        }
        for (auto child = children.rbegin(); child != children.rend(); ++child) {
            pending.push_back({*child, rootIndex});
        }
        while (!pending.empty()) {
            const tStep step = pending.back();
            pending.pop_back();
            if (captured_.count(step.node)) {
                continue;  // a loop in a database gone wrong, or a node met below another root
            }
            const std::size_t index = nodes_.size();
            if (!captureNode(step.node, step.parent) || !childrenOf(step.node, children)) {
                return false;
            }
            for (auto child = children.rbegin(); child != children.rend(); ++child) {
                pending.push_back({*child, index});
            }
        }
        return readConfig(root, ALLOC_LOG_CONF, nodes_[rootIndex].allocConfig);
    }

    bool captureNode(DEVINST devinst, std::size_t parent) {
        const std::size_t index = nodes_.size();
        add(devinst, parent);
        std::optional<std::string> id;
        nodes_[index].idResult = readId(devinst, id);
        if (!id) {
            return true;
        }
        const bool function = instanceIdMatches(id->c_str(), id->size() + 1, "PCI\\*");
        const bool rootBridge = instanceIdMatches(id->c_str(), id->size() + 1, kPciRootBridgePattern) ||
                                instanceIdMatches(id->c_str(), id->size() + 1, kPciExpressRootBridgePattern);
        if (!function && !rootBridge) {
            nodes_[index].id = "CAPTURED\\NODE\\" + std::to_string(index);
            return true;
        }
        nodes_[index].id = capturedInstanceId(*id, index);
        readStatus(nodes_[index]);
        if (function) {
            readProperties(nodes_[index]);
        }
        return readConfig(devinst, ALLOC_LOG_CONF, nodes_[index].allocConfig) &&
               readConfig(devinst, BOOT_LOG_CONF, nodes_[index].bootConfig);
    }

    void readStatus(tCapturedNode& node) {
        ULONG bits = 0;
        ULONG problem = 0;
        node.statusResult = services_.CM_Get_DevNode_Status(&bits, &problem, node.devinst, 0);
        if (node.statusResult == CR_SUCCESS) {
            node.started = (bits & DN_STARTED) != 0;
            if ((bits & DN_HAS_PROBLEM) != 0) {
                node.problem = problem;
            }
        }
    }

    void readProperties(tCapturedNode& node) {
        const auto member = members_.find(node.devinst);
        if (member == members_.end()) {
            return;  // no record to read them by: the replay leaves it out too
        }
        node.busNumber = registryDword(member->second, SPDRP_BUSNUMBER);
        node.address = registryDword(member->second, SPDRP_ADDRESS);
        node.uiNumber = registryDword(member->second, SPDRP_UI_NUMBER);
        node.deviceType = deviceProperty(member->second, kPciDeviceTypeKey);
    }

    // DEVPKEY_PciDevice_BarTypes of every function, after the walk (see the
    // order in Capture.h).
    void readBarTypes() {
        for (tCapturedNode& node : nodes_) {
            const auto member = members_.find(node.devinst);
            if (node.idResult == CR_SUCCESS && member != members_.end() &&
                instanceIdMatches(node.id.c_str(), node.id.size() + 1, "PCI\\*")) {
                node.barTypes = deviceProperty(member->second, kPciBarTypesKey);
            }
        }
    }

    std::optional<DWORD> registryDword(SP_DEVINFO_DATA& record, DWORD property) {
        DWORD type = 0;
        DWORD value = 0;
        DWORD required = 0;
        ++registryReads_;
        if (services_.SetupDiGetDeviceRegistryPropertyA(set_, &record, property, &type,
                                                        reinterpret_cast<BYTE*>(&value), sizeof value, &required)) {
            return type == REG_DWORD && required == sizeof value ? std::optional<DWORD>(value) : std::nullopt;
        }
        noteFailedRead("SetupDiGetDeviceRegistryPropertyA", registryReads_);
        return std::nullopt;
    }

    std::optional<ULONG> deviceProperty(SP_DEVINFO_DATA& record, const DEVPROPKEY& key) {
        DEVPROPTYPE type = 0;
        ULONG value = 0;
        DWORD required = 0;
        ++deviceReads_;
        if (services_.SetupDiGetDevicePropertyW(set_, &record, &key, &type, reinterpret_cast<BYTE*>(&value),
                                                sizeof value, &required, 0)) {
            return type == DEVPROP_TYPE_UINT32 && required == sizeof value ? std::optional<ULONG>(value)
                                                                             : std::nullopt;
        }
        noteFailedRead("SetupDiGetDevicePropertyW", deviceReads_);
        return std::nullopt;
    }

    void noteFailedRead(const char* call, std::uint64_t nth) {
        const DWORD error = services_.GetLastError();
        if (!propertyNotSet(error)) {
            failedCalls_.push_back({call, nth, error});
        }
    }

    bool tree(CONFIGRET (iDeviceServices::*call)(DEVINST*, DEVINST, ULONG), const char* name, DEVINST node,
              std::optional<DEVINST>& next) {
        DEVINST found = 0;
        const CONFIGRET result = (services_.*call)(&found, node, 0);
        if (result == CR_NO_SUCH_DEVNODE) {
            next.reset();
            return true;
        }
        if (result != CR_SUCCESS) {
            return fail(std::string(name) + " failed (CONFIGRET " + hexCode(result) + ")");
        }
        next = found;
        return true;
    }

    bool childrenOf(DEVINST node, std::vector<DEVINST>& children) {
        children.clear();
        std::optional<DEVINST> next;
        if (!tree(&iDeviceServices::CM_Get_Child, "CM_Get_Child", node, next)) {
            return false;
        }
        while (next) {
            if (children.size() > members_.size()) {
                return fail("a chain of CM_Get_Sibling does not end");
            }
            children.push_back(*next);
            if (!tree(&iDeviceServices::CM_Get_Sibling, "CM_Get_Sibling", *next, next)) {
                return false;
            }
        }
        return true;
    }

    // Every bus-number, memory, large-memory and I/O descriptor of a node's
    // configuration of `kind`; none when the node has no such
    // configuration. A call that fails is kept in the configuration; only a
    // buffer that cannot be had ends the capture.
    bool readConfig(DEVINST node, ULONG kind, std::optional<tCapturedConfig>& config) {
        LOG_CONF logConf = 0;
        const CONFIGRET first = services_.CM_Get_First_Log_Conf(&logConf, node, kind);
        if (first == CR_NO_MORE_LOG_CONF) {
            return true;
        }
        config.emplace();
        if (first != CR_SUCCESS) {
            config->result = first;
            return true;
        }
        tConfigHandles handles(services_, logConf);
        for (;;) {
            RES_DES next = 0;
            RESOURCEID type = 0;
            const CONFIGRET result = services_.CM_Get_Next_Res_Des(&next, handles.current(), ResType_All, &type, 0);
            if (result == CR_NO_MORE_RES_DES) {
                return true;
            }
            if (result != CR_SUCCESS) {
                config->endResult = result;
                return true;
            }
            handles.hold(next);
            if (type != ResType_BusNumber && type != ResType_Mem && type != ResType_MemLarge && type != ResType_IO) {
                continue;
            }
            tCapturedDescriptor& descriptor = config->descriptors.emplace_back();
            descriptor.type = type;
            ULONG size = 0;
            descriptor.sizeResult = services_.CM_Get_Res_Des_Data_Size(&size, next, 0);
            if (descriptor.sizeResult != CR_SUCCESS) {
                continue;
            }
            if (size != headerSize(type)) {
                descriptor.size = size;
            }
            if (size == 0) {
                continue;
            }
            tStatusBlock status = makeStatusBlock();
            tBufferGuard buffer(size, status);
            if (status.isError()) {
                return fail("not enough memory for a descriptor of " + std::to_string(size) + " bytes");
            }
            descriptor.dataResult = services_.CM_Get_Res_Des_Data(next, buffer.get(), size, 0);
            if (descriptor.dataResult == CR_SUCCESS) {
                decodeHeader(descriptor, static_cast<const unsigned char*>(buffer.get()), size);
            }
        }
    }

    static void writeConfig(tJsonText& json, const char* key, const tCapturedConfig& config) {
        json.openObject(key);
        if (config.result != CR_SUCCESS) {
            json.number("result", config.result);
        }
        json.openArray("descriptors");
        for (const tCapturedDescriptor& descriptor : config.descriptors) {
            json.openObject();
            json.number("type", descriptor.type);
            if (descriptor.sizeResult == CR_SUCCESS && descriptor.dataResult == CR_SUCCESS) {
                json.number("base", descriptor.base);
                json.number("end", descriptor.end);
                if (descriptor.flags != 0) {
                    json.number("flags", descriptor.flags);
                }
            }
            if (descriptor.size) {
                json.number("size", *descriptor.size);
            }
            if (descriptor.sizeResult != CR_SUCCESS) {
                json.number("size_result", descriptor.sizeResult);
            }
            if (descriptor.dataResult != CR_SUCCESS) {
                json.number("data_result", descriptor.dataResult);
            }
            json.closeObject();
        }
        json.closeArray();
        if (config.endResult != CR_NO_MORE_RES_DES) {
            json.number("end_result", config.endResult);
        }
        json.closeObject();
    }

    static void writeNode(tJsonText& json, const tCapturedNode& node) {
        json.openObject();
        json.string("id", node.id);
        if (node.idResult != CR_SUCCESS) {
            json.number("id_result", node.idResult);
        }
        json.boolean("started", node.started);
        if (node.statusResult != CR_SUCCESS) {
            json.number("status_result", node.statusResult);
        }
        const std::pair<const char*, std::optional<std::uint64_t>> values[] = {
            {"problem", node.problem},       {"parent", node.parent},
            {"bus_number", node.busNumber}, {"address", node.address},
            {"ui_number", node.uiNumber},   {"device_type", node.deviceType},
            {"bar_types", node.barTypes}};
        for (const auto& [key, value] : values) {
            if (value) {
                json.number(key, *value);
            }
        }
        if (node.bootConfig) {
            writeConfig(json, "boot_config", *node.bootConfig);
        }
        if (node.allocConfig) {
            writeConfig(json, "alloc_config", *node.allocConfig);
        }
        json.closeObject();
    }

    iDeviceServices& services_;
    HDEVINFO set_;
    std::string& failure_;
    std::unordered_map<DEVINST, SP_DEVINFO_DATA> members_;
    std::vector<DEVINST> order_;
    std::unordered_map<DEVINST, std::size_t> captured_;  // a node's index in nodes_
    std::vector<tCapturedNode> nodes_;
    std::size_t roots_ = 0;
    std::optional<DWORD> hackFlags_;
    bool hackFlagsUnreadable_ = false;
    std::uint64_t registryReads_ = 0;
    std::uint64_t deviceReads_ = 0;
    std::vector<tCapturedFailure> failedCalls_;
};

std::string errnoText(int error) {
    return std::strerror(error != 0 ? error : EIO);
}

// Writes and closes `file`; false with errno's words when any of it fails.
bool writeAndClose(std::FILE* file, const std::string& text, std::string& reason) {
    errno = 0;
    const bool written = std::fwrite(text.data(), 1, text.size(), file) == text.size();
    const bool flushed = written && std::fflush(file) == 0;
    const int error = errno;
    const bool closed = std::fclose(file) == 0;
    if (!written || !flushed || !closed) {
        reason = errnoText(error != 0 ? error : errno);
        return false;
    }
    return true;
}

}  // namespace

std::string jsonString(const std::string& text) {
    std::string quoted = "\"";
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            quoted += '\\';
            quoted += c;
        } else if (byte < 0x20) {
            static const char kHex[] = "0123456789abcdef";
            quoted += "\\u00";
            quoted += kHex[byte >> 4];
            quoted += kHex[byte & 0xf];
        } else {
            quoted += c;
        }
    }
    quoted += '"';
    return quoted;
}

std::string capturedInstanceId(const std::string& id, std::size_t index) {
    // Windows builds IDs of the characters from 0x21 to 0x7e; anything else
    // is no ID of its, and must not make the file unreadable.
    std::string kept = id;
    for (char& c : kept) {
        if (c < 0x21 || c > 0x7e) {
            c = '_';
        }
    }
    const std::size_t last = kept.rfind('\\');
    if (last == std::string::npos) {
        return "CAPTURED\\NODE\\" + std::to_string(index);
    }
    if (isLocation(std::string_view(kept).substr(last + 1))) {
        return kept;
    }
    std::string digits;
    do {
        digits.insert(digits.begin(), "0123456789ABCDEF"[index % 16]);
        index /= 16;
    } while (index != 0);
    const std::string location = "0&00000000&0&" + digits;
    // The ID must still fit the buffer it is read into: a long head is cut
    // rather than the location.
    const std::size_t room = kInstanceIdBufferSize - 1 - location.size();
    return (last + 1 <= room ? kept.substr(0, last + 1) : kept.substr(0, room - 1) + "\\") + location;
}

bool captureDeviceTree(tCapture& capture, std::string& failure) {
    capture = tCapture{};
    try {
        iDeviceServices& services = deviceServices();
        const HDEVINFO set = services.SetupDiGetClassDevsA(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES);
        if (set == INVALID_HANDLE_VALUE) {
            failure = "the device database: SetupDiGetClassDevsA failed (error " +
                      std::to_string(services.GetLastError()) + ")";
            return false;
        }
        const tDeviceSetGuard guard(set);
        tCapturer capturer(set, failure);
        if (!capturer.capture()) {
            return false;
        }
        capture.fixture = capturer.fixture();
        capture.nodes = capturer.nodes();
        capture.roots = capturer.roots();
        return true;
    } catch (const std::bad_alloc&) {
        failure = "the device database: not enough memory to capture it";
        return false;
    }
}

bool writeFileWhole(const std::string& path, const std::string& text, std::string& reason) {
    std::error_code code;
    const std::filesystem::file_status status = std::filesystem::status(path, code);
    if (!code && std::filesystem::exists(status) && !std::filesystem::is_regular_file(status) &&
        !std::filesystem::is_directory(status)) {
        std::FILE* device = std::fopen(path.c_str(), "wb");
        if (device == nullptr) {
            reason = errnoText(errno);
            return false;
        }
        return writeAndClose(device, text, reason);
    }
#if defined(_WIN32)
    const std::string partial = path + ".partial-" + std::to_string(_getpid());
#else
    const std::string partial = path + ".partial-" + std::to_string(::getpid());
#endif
    std::FILE* file = std::fopen(partial.c_str(), "wb");
    if (file == nullptr) {
        reason = errnoText(errno);
        return false;
    }
    if (!writeAndClose(file, text, reason)) {
        std::remove(partial.c_str());
        return false;
    }
#if defined(_WIN32)
    // rename() will not replace a file there; MoveFileEx does, in one step.
    if (!::MoveFileExA(partial.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING)) {
        reason = "cannot replace it (error " + std::to_string(::GetLastError()) + ")";
        std::remove(partial.c_str());
        return false;
    }
#else
    if (std::rename(partial.c_str(), path.c_str()) != 0) {
        reason = errnoText(errno);
        std::remove(partial.c_str());
        return false;
    }
#endif
    return true;
}

}  // namespace nROOTSCOPE_1_0

// SPDX-License-Identifier: MIT
#include "Capture.h"

#include <algorithm>
#include <array>
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
#include <type_traits>
#include <unordered_map>
#include <utility>
#include <vector>

#include "DevMgr.h"
#include "DeviceServices.h"
#include "DeviceTable.h"
#include "HeadroomReport.h"
#include "Topology.h"
#include "WindowsTopologyReader.h"

#if defined(_WIN32)
#include <process.h>

#include "WindowsHeaders.h"
#else
#include <unistd.h>
#endif

namespace nROOTSCOPE_1_0 {

namespace {

constexpr std::size_t kNone = ~std::size_t{0};

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


// The calls of the seam, a tag each, so that a call whose answer the
// capture keeps has an overload of its own and every other call none.
#define ROOTSCOPE_CAPTURE_CALL_TAG(result, releases, name, kind, type, params, args, fills) kind,
enum class tCall : std::uint8_t { ROOTSCOPE_DEVICE_CALLS(ROOTSCOPE_CAPTURE_CALL_TAG) Count };
#undef ROOTSCOPE_CAPTURE_CALL_TAG
#define ROOTSCOPE_CAPTURE_CALL_NAME(result, releases, name, kind, type, params, args, fills) #name,
constexpr const char* kCallNames[] = {ROOTSCOPE_DEVICE_CALLS(ROOTSCOPE_CAPTURE_CALL_NAME)};
#undef ROOTSCOPE_CAPTURE_CALL_NAME
template <tCall kCall>
using tTag = std::integral_constant<tCall, kCall>;
#define ROOTSCOPE_CAPTURE_ARGUMENTS(...) __VA_ARGS__

// A call that may be made more than once about one node (its ID, its
// status): failing the same way every time, and never answering, is a fact
// of the node the fixture says in it; any other mix of answers is said call
// by call, as numbered failures.
struct tRepeatedRead {
    bool answered = false;
    std::optional<CONFIGRET> failed;
    bool mixed = false;

    void note(CONFIGRET result) {
        if (result == CR_SUCCESS) {
            answered = true;
        } else if (!failed) {
            failed = result;
        } else if (*failed != result) {
            mixed = true;
        }
    }
    bool saidByNode() const { return failed && !answered && !mixed; }
};

// What became of a descriptor the reader met: stepped over, sized, or read.
enum class tDescriptorRead : std::uint8_t { kSteppedOver, kSized, kRead };

// What the capture knows of a node besides its entry in the table: how its
// repeated reads went, its children in the order the tree gave them, and
// what was read of each descriptor of its boot and allocated configurations.
struct tNodeRecord {
    tRepeatedRead id;
    tRepeatedRead status;
    std::size_t firstChild = kNone;
    std::size_t lastChild = kNone;
    std::size_t nextSibling = kNone;
    std::array<std::vector<tDescriptorRead>, 2> descriptors;  // boot, allocated
};

// A call that failed in a way no node of the table can say, by its number
// among the calls of its kind; `node` is whose ID or status it read.
struct tFailedCall {
    tCall call;
    std::uint64_t nth;
    DWORD result;
    std::size_t node;
};

// What a configuration or descriptor handle stands for.
struct tHandleRef {
    std::size_t node;
    bool allocated;
    std::optional<std::size_t> descriptor;  // none: the configuration itself
};

// The range and flags of a descriptor's data, as the header of its type
// lays them out. Data cut short reads as zeros past its end.
void takeRange(tDeviceDescriptor& descriptor, const void* data, std::size_t size) {
    unsigned char header[sizeof(MEM_DES)] = {};
    std::memcpy(header, data, std::min(size, sizeof header));
    const tDescriptorRange range = descriptorRange(descriptor.type, header);
    descriptor.base = range.base;
    descriptor.end = range.end;
    descriptor.flags = range.flags;
}

// A 32-bit property as the reader takes it: of a type it takes as a number
// and four bytes long; anything else is no value, as it is to the reader.
std::optional<DWORD> dwordOf(BOOL read, const DWORD* valueType, bool (*numeric)(DWORD), const BYTE* buffer,
                             DWORD bufferSize, const DWORD* requiredSize) {
    if (!read || valueType == nullptr || !numeric(*valueType) || requiredSize == nullptr ||
        *requiredSize != sizeof(DWORD) || buffer == nullptr || bufferSize < sizeof(DWORD)) {
        return std::nullopt;
    }
    DWORD value = 0;
    std::memcpy(&value, buffer, sizeof value);
    return value;
}

bool registryNumberType(DWORD type) {
    return type == REG_DWORD;
}

bool isRootBridge(const std::string& id) {
    return instanceIdMatches(id.c_str(), id.size() + 1, kPciRootBridgePattern) ||
           instanceIdMatches(id.c_str(), id.size() + 1, kPciExpressRootBridgePattern);
}

// Device services that pass every call on and keep, of each answer, what
// the simulated tree needs to give the same answer again: the capture is a
// recording of one run of the Windows reader, so it holds what that reader
// read, in the order it read it, and nothing more. A node is an entry of
// the table from the first call about it on; the table is written in the
// order of the device set, each node followed by what the tree showed
// below it.
class tRecordingServices final : public iDeviceServices {
public:
    explicit tRecordingServices(iDeviceServices& inner) : inner_(inner) {}

#define ROOTSCOPE_CAPTURE_RECORD(result, releases, name, kind, type, params, args, fills) \
    type name params override {                                                          \
        const type answer = inner_.name args;                                            \
        keepError(tCallResult::result, answer);                                          \
        recordSafely(tTag<tCall::kind>{}, answer, ROOTSCOPE_CAPTURE_ARGUMENTS args);     \
        return answer;                                                                   \
    }
    ROOTSCOPE_DEVICE_CALLS(ROOTSCOPE_CAPTURE_RECORD)
#undef ROOTSCOPE_CAPTURE_RECORD

    DWORD GetLastError() override { return lastError_ ? *lastError_ : inner_.GetLastError(); }
    std::string describeDatabaseFailure() const override { return inner_.describeDatabaseFailure(); }

    // False when memory ran out while recording: the record has a hole.
    bool whole() const { return whole_; }

    // The fixture of what was recorded.
    void write(tCapture& capture) const {
        const std::vector<std::size_t> order = tableOrder();
        std::vector<std::size_t> position(table_.size(), kNone);
        for (std::size_t i = 0; i < order.size(); ++i) {
            position[order[i]] = i;
        }
        tJsonText json;
        json.openObject();
        if (hackFlags_.unreadable) {
            json.string("hack_flags", "unreadable");
        } else if (hackFlags_.value) {
            json.number("hack_flags", *hackFlags_.value);
        }
        if (enumError_) {
            json.number("enum_error", *enumError_);
        }
        json.openArray("nodes");
        for (std::size_t i = 0; i < order.size(); ++i) {
            writeNode(json, order[i], i, position);
            const tDeviceNode& node = table_[order[i]];
            capture.roots += node.started && records_[order[i]].id.answered && isRootBridge(node.id) ? 1 : 0;
        }
        json.closeArray();
        bool any = false;
        for (const tFailedCall& failed : failures_) {
            if (failed.node != kNone &&
                (failed.call == tCall::ReadId ? records_[failed.node].id : records_[failed.node].status).saidByNode()) {
                continue;
            }
            if (!any) {
                json.openArray("fail_calls");
                any = true;
            }
            json.openObject();
            json.string("call", kCallNames[static_cast<std::size_t>(failed.call)]);
            json.number("nth", failed.nth);
            json.number("result", failed.result);
            json.closeObject();
        }
        if (any) {
            json.closeArray();
        }
        json.closeObject();
        json.text() += '\n';
        capture.fixture = std::move(json.text());
        capture.nodes = order.size();
    }

private:
    // A failed SetupDi call's error, kept at once: what the reader asks for
    // next must be what the call left, whatever the recording did since.
    template <class tAnswer>
    void keepError(tCallResult how, tAnswer answer) {
        bool failed = false;
        if constexpr (std::is_pointer_v<tAnswer>) {
            failed = how == tCallResult::Handle && answer == INVALID_HANDLE_VALUE;
        } else {
            failed = how == tCallResult::Bool && !answer;
        }
        lastError_ = failed ? std::optional<DWORD>(inner_.GetLastError()) : std::nullopt;
    }

    // Numbers the call among those of its kind and records it; memory that
    // runs out leaves the answer to the reader and the record unfinished.
    template <tCall kCall, class tAnswer, class... tArgs>
    void recordSafely(tTag<kCall> tag, tAnswer answer, tArgs... args) {
        const std::uint64_t nth = ++calls_[static_cast<std::size_t>(kCall)];
        if (!whole_) {
            return;
        }
        try {
            record(tag, nth, answer, args...);
        } catch (const std::bad_alloc&) {
            whole_ = false;
        }
    }

    // A call whose answer the replay does not need: the device list's
    // description, the releases.
    template <tCall kCall, class... tArgs>
    void record(tTag<kCall>, std::uint64_t, tArgs...) {}

    void record(tTag<tCall::OpenSet>, std::uint64_t nth, HDEVINFO set, const GUID*, PCSTR, HWND, DWORD) {
        if (set == INVALID_HANDLE_VALUE) {
            fail(tCall::OpenSet, nth, *lastError_);
        }
    }

    // The members of the set, in its order; an enumeration that ends other
    // than past the last member ends there again.
    void record(tTag<tCall::EnumerateSet>, std::uint64_t, BOOL found, HDEVINFO, DWORD, SP_DEVINFO_DATA* member) {
        if (found && member != nullptr) {
            members_.push_back(nodeOf(member->DevInst));
        } else if (!found && *lastError_ != static_cast<DWORD>(ERROR_NO_MORE_ITEMS)) {
            enumError_ = *lastError_;
        }
    }

    void record(tTag<tCall::ReadId>, std::uint64_t nth, CONFIGRET result, DEVINST devinst, PSTR buffer, ULONG length,
                ULONG) {
        const std::size_t node = nodeOf(devinst);
        noteRead(tCall::ReadId, nth, result, node);
        if (result == CR_SUCCESS && buffer != nullptr) {
            table_[node].id.assign(buffer, std::find(buffer, buffer + length, '\0'));
        }
    }

    void record(tTag<tCall::QueryStatus>, std::uint64_t nth, CONFIGRET result, ULONG* bits, ULONG* problem,
                DEVINST devinst, ULONG) {
        const std::size_t node = nodeOf(devinst);
        noteRead(tCall::QueryStatus, nth, result, node);
        if (result == CR_SUCCESS && bits != nullptr && problem != nullptr) {
            table_[node].started = (*bits & DN_STARTED) != 0;
            table_[node].problem = (*bits & DN_HAS_PROBLEM) != 0 ? std::optional<ULONG>(*problem) : std::nullopt;
        }
    }

    void record(tTag<tCall::FirstLogConf>, std::uint64_t, CONFIGRET result, LOG_CONF* logConf, DEVINST devinst,
                ULONG kind) {
        if (kind != BOOT_LOG_CONF && kind != ALLOC_LOG_CONF) {
            return;  // the table holds no other kind: the replay has none
        }
        const std::size_t node = nodeOf(devinst);
        const bool allocated = kind == ALLOC_LOG_CONF;
        if (result == CR_NO_MORE_LOG_CONF) {
            return;
        }
        tDeviceConfig& config = configOf(node, allocated).emplace();
        records_[node].descriptors[allocated].clear();
        if (result != CR_SUCCESS) {
            config.result = result;
        } else if (logConf != nullptr) {
            handles_[*logConf] = {node, allocated, std::nullopt};
        }
    }

    // The next descriptor of a configuration, or how its walk ended.
    void record(tTag<tCall::NextResDes>, std::uint64_t, CONFIGRET result, RES_DES* next, RES_DES current,
                RESOURCEID forResource, RESOURCEID* type, ULONG) {
        const auto from = handles_.find(current);
        if (from == handles_.end() || result == CR_NO_MORE_RES_DES) {
            return;
        }
        const tHandleRef ref = from->second;
        tDeviceConfig& config = *configOf(ref.node, ref.allocated);
        if (result != CR_SUCCESS) {
            config.endResult = result;
            return;
        }
        const std::size_t index = ref.descriptor ? *ref.descriptor + 1 : 0;
        if (index == config.descriptors.size()) {
            config.descriptors.emplace_back().type = type != nullptr ? *type : forResource;
            records_[ref.node].descriptors[ref.allocated].push_back(tDescriptorRead::kSteppedOver);
        }
        if (next != nullptr && index < config.descriptors.size()) {
            handles_[*next] = {ref.node, ref.allocated, index};
        }
    }

    void record(tTag<tCall::ResDesDataSize>, std::uint64_t, CONFIGRET result, ULONG* size, RES_DES handle, ULONG) {
        tDeviceDescriptor* descriptor =
            answered(handle, &tDeviceDescriptor::sizeResult, result, tDescriptorRead::kSized);
        if (descriptor != nullptr && size != nullptr) {
            tDeviceDescriptor headerOnly;
            headerOnly.type = descriptor->type;
            descriptor->size = *size != descriptorDataSize(headerOnly) ? std::optional<std::uint32_t>(*size)
                                                                      : std::nullopt;
        }
    }

    void record(tTag<tCall::ResDesData>, std::uint64_t, CONFIGRET result, RES_DES handle, PVOID buffer, ULONG length,
                ULONG) {
        tDeviceDescriptor* descriptor =
            answered(handle, &tDeviceDescriptor::dataResult, result, tDescriptorRead::kRead);
        if (descriptor != nullptr && buffer != nullptr) {
            takeRange(*descriptor, buffer, length);
        }
    }

    // A release does its work whatever it answers.
    void record(tTag<tCall::FreeResDes>, std::uint64_t, CONFIGRET, RES_DES handle) { handles_.erase(handle); }
    void record(tTag<tCall::FreeLogConf>, std::uint64_t, CONFIGRET, LOG_CONF handle) { handles_.erase(handle); }

    void record(tTag<tCall::GetChild>, std::uint64_t nth, CONFIGRET result, DEVINST* child, DEVINST devinst, ULONG) {
        const std::size_t parent = nodeOf(devinst);
        if (result == CR_SUCCESS && child != nullptr) {
            adopt(parent, nodeOf(*child));
        } else if (result != CR_NO_SUCH_DEVNODE) {
            fail(tCall::GetChild, nth, result);
        }
    }

    void record(tTag<tCall::GetSibling>, std::uint64_t nth, CONFIGRET result, DEVINST* sibling, DEVINST devinst,
                ULONG) {
        const std::size_t node = nodeOf(devinst);
        if (result == CR_SUCCESS && sibling != nullptr) {
            const std::size_t next = nodeOf(*sibling);
            if (table_[node].parent) {
                adopt(*table_[node].parent, next);
            }
        } else if (result != CR_NO_SUCH_DEVNODE) {
            fail(tCall::GetSibling, nth, result);
        }
    }

    void record(tTag<tCall::RegistryProperty>, std::uint64_t nth, BOOL read, HDEVINFO, SP_DEVINFO_DATA* member,
                DWORD property, DWORD* valueType, BYTE* buffer, DWORD bufferSize, DWORD* requiredSize) {
        if (member == nullptr) {
            return;
        }
        tDeviceNode& node = table_[nodeOf(member->DevInst)];
        std::optional<DWORD>* field = property == SPDRP_BUSNUMBER   ? &node.busNumber
                                      : property == SPDRP_ADDRESS   ? &node.address
                                      : property == SPDRP_UI_NUMBER ? &node.uiNumber
                                                                    : nullptr;
        if (!read) {
            propertyFailed(tCall::RegistryProperty, nth);
        } else if (field != nullptr) {
            *field = dwordOf(read, valueType, registryNumberType, buffer, bufferSize, requiredSize);
        }
    }

    void record(tTag<tCall::DeviceProperty>, std::uint64_t nth, BOOL read, HDEVINFO, SP_DEVINFO_DATA* member,
                const DEVPROPKEY* key, DEVPROPTYPE* valueType, BYTE* buffer, DWORD bufferSize, DWORD* requiredSize,
                DWORD) {
        if (member == nullptr || key == nullptr) {
            return;
        }
        tDeviceNode& node = table_[nodeOf(member->DevInst)];
        std::optional<ULONG>* field = samePropertyKey(*key, kPciDeviceTypeKey) ? &node.deviceType
                                      : samePropertyKey(*key, kPciBarTypesKey) ? &node.barTypes
                                                                       : nullptr;
        if (!read) {
            propertyFailed(tCall::DeviceProperty, nth);
        } else if (field != nullptr) {
            *field = dwordOf(read, valueType, deviceNumberType, buffer, bufferSize, requiredSize);
        }
    }

    // HackFlags: a value, none set, or a read refused as the simulated
    // registry refuses it; any other answer is said as a numbered failure,
    // a value of the wrong size as the reader takes it.
    void record(tTag<tCall::RegistryValue>, std::uint64_t nth, LSTATUS result, HKEY key, LPCSTR subKey, LPCSTR value,
                DWORD, DWORD*, PVOID data, DWORD* dataSize) {
        if (key != HKEY_LOCAL_MACHINE || subKey == nullptr || value == nullptr ||
            std::strcmp(subKey, kPciHackFlagsKey) != 0 || std::strcmp(value, kPciHackFlagsValue) != 0) {
            return;
        }
        hackFlags_ = tHackFlags{};
        if (result == ERROR_SUCCESS && data != nullptr && dataSize != nullptr && *dataSize == sizeof(DWORD)) {
            DWORD flags = 0;
            std::memcpy(&flags, data, sizeof flags);
            hackFlags_.value = flags;
        } else if (result == ERROR_ACCESS_DENIED) {
            hackFlags_.unreadable = true;
        } else if (result != ERROR_FILE_NOT_FOUND) {
            fail(tCall::RegistryValue, nth,
                 result == ERROR_SUCCESS ? static_cast<DWORD>(ERROR_INVALID_DATA) : static_cast<DWORD>(result));
        }
    }

    // The table entry of a node, made at the first call about it.
    std::size_t nodeOf(DEVINST devinst) {
        const auto [entry, added] = index_.try_emplace(devinst, table_.size());
        if (added) {
            try {
                table_.emplace_back();
                records_.emplace_back();
            } catch (const std::bad_alloc&) {
                index_.erase(entry);
                throw;
            }
        }
        return entry->second;
    }

    std::optional<tDeviceConfig>& configOf(std::size_t node, bool allocated) {
        return allocated ? table_[node].allocConfig : table_[node].bootConfig;
    }

    // Keeps how a call about the descriptor of `handle` answered, in
    // `field`: sized at least, and `reached` when it answered. The
    // descriptor when it answered; null then too for a handle the capture
    // does not know.
    tDeviceDescriptor* answered(RES_DES handle, CONFIGRET tDeviceDescriptor::*field, CONFIGRET result,
                                tDescriptorRead reached) {
        const auto found = handles_.find(handle);
        if (found == handles_.end() || !found->second.descriptor) {
            return nullptr;
        }
        const tHandleRef& ref = found->second;
        tDeviceDescriptor& descriptor = configOf(ref.node, ref.allocated)->descriptors[*ref.descriptor];
        tDescriptorRead& read = records_[ref.node].descriptors[ref.allocated][*ref.descriptor];
        descriptor.*field = result;
        read = std::max(read, result == CR_SUCCESS ? reached : tDescriptorRead::kSized);
        return result == CR_SUCCESS ? &descriptor : nullptr;
    }

    // `child` hangs below `parent`, after the children met before it. The
    // first parent a node is met below stays its parent.
    void adopt(std::size_t parent, std::size_t child) {
        if (child == parent || table_[child].parent) {
            return;
        }
        table_[child].parent = parent;
        tNodeRecord& above = records_[parent];
        if (above.lastChild == kNone) {
            above.firstChild = child;
        } else {
            records_[above.lastChild].nextSibling = child;
        }
        above.lastChild = child;
    }

    void noteRead(tCall call, std::uint64_t nth, CONFIGRET result, std::size_t node) {
        (call == tCall::ReadId ? records_[node].id : records_[node].status).note(result);
        if (result != CR_SUCCESS) {
            failures_.push_back({call, nth, result, node});
        }
    }

    void fail(tCall call, std::uint64_t nth, DWORD result) {
        // A fixture's failure is never 0, which would be success.
        failures_.push_back({call, nth, result != 0 ? result : static_cast<DWORD>(CR_FAILURE), kNone});
    }

    // A property that is not set is absent from the node; any other failure
    // is the numbered call's.
    void propertyFailed(tCall call, std::uint64_t nth) {
        if (!propertyNotSet(*lastError_)) {
            fail(call, nth, *lastError_);
        }
    }

    // The table's order: the members in the set's order, then the nodes met
    // only in the tree, each with what lies below it depth first in the
    // tree's order, so that the replay enumerates and walks as this run
    // did; a node with a parent comes below it, unless a loop of parents
    // kept it from the top, when it comes last.
    std::vector<std::size_t> tableOrder() const {
        std::vector<std::size_t> order;
        order.reserve(table_.size());
        std::vector<bool> placed(table_.size(), false);
        std::vector<std::size_t> pending;
        const auto place = [&](std::size_t top) {
            pending.push_back(top);
            while (!pending.empty()) {
                const std::size_t node = pending.back();
                pending.pop_back();
                if (placed[node]) {
                    continue;
                }
                placed[node] = true;
                order.push_back(node);
                const std::size_t from = pending.size();
                for (std::size_t child = records_[node].firstChild; child != kNone;
                     child = records_[child].nextSibling) {
                    pending.push_back(child);
                }
                std::reverse(pending.begin() + static_cast<std::ptrdiff_t>(from), pending.end());
            }
        };
        for (const bool loops : {false, true}) {
            for (const std::size_t node : members_) {
                if (loops || !table_[node].parent) {
                    place(node);
                }
            }
            for (std::size_t node = 0; node < table_.size(); ++node) {
                if (loops || !table_[node].parent) {
                    place(node);
                }
            }
        }
        return order;
    }

    // The ID kept of a node at `index`: one the reader never read, or read
    // as neither a PCI function nor a root bridge, is a neutral one.
    std::string idOf(std::size_t node, std::size_t index) const {
        const tRepeatedRead& read = records_[node].id;
        const std::string& id = table_[node].id;
        if (read.answered && (instanceIdMatches(id.c_str(), id.size() + 1, "PCI\\*") || isRootBridge(id))) {
            return capturedInstanceId(id, index);
        }
        return read.saidByNode() ? std::string() : "CAPTURED\\NODE\\" + std::to_string(index);
    }

    void writeNode(tJsonText& json, std::size_t node, std::size_t index,
                   const std::vector<std::size_t>& position) const {
        const tDeviceNode& entry = table_[node];
        const tNodeRecord& record = records_[node];
        json.openObject();
        json.string("id", idOf(node, index));
        if (record.id.saidByNode()) {
            json.number("id_result", *record.id.failed);
        }
        json.boolean("started", entry.started);
        if (record.status.saidByNode()) {
            json.number("status_result", *record.status.failed);
        }
        const std::optional<std::size_t> parent =
            entry.parent ? std::optional<std::size_t>(position[*entry.parent]) : std::nullopt;
        const std::pair<const char*, std::optional<std::uint64_t>> values[] = {
            {"problem", entry.problem},       {"parent", parent},
            {"bus_number", entry.busNumber}, {"address", entry.address},
            {"ui_number", entry.uiNumber},   {"device_type", entry.deviceType},
            {"bar_types", entry.barTypes}};
        for (const auto& [key, value] : values) {
            if (value) {
                json.number(key, *value);
            }
        }
        if (entry.bootConfig) {
            writeConfig(json, "boot_config", *entry.bootConfig, record.descriptors[0]);
        }
        if (entry.allocConfig) {
            writeConfig(json, "alloc_config", *entry.allocConfig, record.descriptors[1]);
        }
        json.closeObject();
    }

    // A configuration's descriptors as far as the reader walked it, each it
    // sized with what it read of it; one it stepped over (an interrupt, a
    // type it did not ask for) is left out, the walk stepping over nothing
    // in its place.
    static void writeConfig(tJsonText& json, const char* key, const tDeviceConfig& config,
                            const std::vector<tDescriptorRead>& reads) {
        json.openObject(key);
        if (config.result != CR_SUCCESS) {
            json.number("result", config.result);
        }
        json.openArray("descriptors");
        for (std::size_t i = 0; i < config.descriptors.size(); ++i) {
            const tDeviceDescriptor& descriptor = config.descriptors[i];
            if (reads[i] == tDescriptorRead::kSteppedOver) {
                continue;
            }
            json.openObject();
            json.number("type", descriptor.type);
            if (reads[i] == tDescriptorRead::kRead) {
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

    iDeviceServices& inner_;
    std::optional<DWORD> lastError_;
    bool whole_ = true;
    std::array<std::uint64_t, static_cast<std::size_t>(tCall::Count)> calls_{};
    std::unordered_map<DEVINST, std::size_t> index_;  // a node's entry in table_
    tDeviceTable table_;                               // in the order of the first call about each node
    std::vector<tNodeRecord> records_;                 // beside table_
    std::vector<std::size_t> members_;                 // entries, in the set's order
    std::unordered_map<RES_DES, tHandleRef> handles_;  // the handles the reader holds
    std::vector<tFailedCall> failures_;                // in the run's order
    std::optional<DWORD> enumError_;
    tHackFlags hackFlags_;
};

#undef ROOTSCOPE_CAPTURE_ARGUMENTS

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
        tRecordingServices recorder(deviceServices());
        bool read = false;
        {
            const tScopedDeviceServices scope(recorder);
            tTopology topology;
            read = readWindowsTopology(topology, failure);
        }
        if (!recorder.whole()) {
            failure = "the device database: not enough memory to capture it";
            return false;
        }
        recorder.write(capture);
        return read;
    } catch (const std::bad_alloc&) {
        capture = tCapture{};
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

// SPDX-License-Identifier: MIT
#include "EmulatedConfigManager.h"

#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

#include "Garbage.h"

namespace nROOTSCOPE_1_0 {

namespace {

// Handle values look nothing like small integers or pointers, so a caller
// that mixes them up fails instead of working by accident.
constexpr std::uintptr_t kSetBase = 0x5e700000;
constexpr std::uintptr_t kHandleBase = 0x1c000000;

// A header's type word: the size of one range record of its kind, which is
// how Windows tags a range (BusNumberType_Range, MType_Range, MLType_Range,
// IOType_Range).
constexpr std::uint32_t kBusNumberRangeType = 16;
constexpr std::uint32_t kMemoryRangeType = 36;
constexpr std::uint32_t kLargeMemoryRangeType = 40;
constexpr std::uint32_t kIoRangeType = 40;

// No child or sibling.
constexpr std::size_t kNone = ~std::size_t{0};

void appendCount(std::string& text, std::uint64_t count, const char* singular, const char* plural) {
    if (count == 0) {
        return;
    }
    text += text.empty() ? "" : ", ";
    text += std::to_string(count) + ' ' + (count == 1 ? singular : plural);
}

}  // namespace

tEmulatedConfigManager::tEmulatedConfigManager(tDeviceTableReader reader)
    : reader_(std::move(reader)), heap_{heapAllocate, heapRelease, this} {}

tEmulatedConfigManager::tEmulatedConfigManager(tDeviceTable table, tHackFlags hackFlags)
    : table_(std::move(table)), hackFlags_(hackFlags), tableRead_(true), heap_{heapAllocate, heapRelease, this} {
    indexTree();
}

void tEmulatedConfigManager::indexTree() {
    // Children in table order: each node's is found by walking the table
    // backwards once, prepending.
    firstChild_.assign(table_.size(), kNone);
    nextSibling_.assign(table_.size(), kNone);
    for (std::size_t i = table_.size(); i-- > 0;) {
        const std::optional<std::size_t>& parent = table_[i].parent;
        if (parent && *parent < table_.size() && *parent != i) {
            nextSibling_[i] = firstChild_[*parent];
            firstChild_[*parent] = i;
        }
    }
}

tEmulatedConfigManager::~tEmulatedConfigManager() {
    // A leak is reported by leakReport(); the memory itself still goes back.
    for (void* buffer : buffers_) {
        std::free(buffer);
    }
}

const tDeviceNode* tEmulatedConfigManager::nodeOf(DEVINST node) const {
    return node == 0 || node > table_.size() ? nullptr : &table_[node - 1];
}

bool tEmulatedConfigManager::liveSet(HDEVINFO set) const {
    const auto value = reinterpret_cast<std::uintptr_t>(set);
    for (const std::uintptr_t live : liveSets_) {
        if (live == value) {
            return true;
        }
    }
    return false;
}

const tEmulatedConfigManager::tHandle* tEmulatedConfigManager::liveHandle(std::uintptr_t value) const {
    const auto found = handles_.find(value);
    return found == handles_.end() ? nullptr : &found->second;
}

std::optional<std::uintptr_t> tEmulatedConfigManager::newHandle(const tHandle& handle) {
    const std::uintptr_t value = kHandleBase + handlesMade_;
    try {
        handles_.emplace(value, handle);
    } catch (const std::bad_alloc&) {
        return std::nullopt;
    }
    ++handlesMade_;
    logConfsHeld_ += handle.isLogConf ? 1 : 0;
    return value;
}

const tDeviceConfig* tEmulatedConfigManager::configOf(const tDeviceNode& node, ULONG kind) {
    const std::optional<tDeviceConfig>& config = kind == ALLOC_LOG_CONF ? node.allocConfig : node.bootConfig;
    return config ? &*config : nullptr;
}

std::optional<std::size_t> tEmulatedConfigManager::nextDescriptor(const tHandle& from, RESOURCEID forResource) const {
    const std::vector<tDeviceDescriptor>& config = configOf(table_[from.node], from.kind)->descriptors;
    for (std::size_t index = from.isLogConf ? 0 : from.descriptor + 1; index < config.size(); ++index) {
        if (forResource == ResType_All || config[index].type == forResource) {
            return index;
        }
    }
    return std::nullopt;
}

CONFIGRET tEmulatedConfigManager::refuse(CONFIGRET result) {
    ++misuses_;
    return result;
}

BOOL tEmulatedConfigManager::refuseSetupCall(DWORD error) {
    ++misuses_;
    lastError_ = error;
    return FALSE;
}

HDEVINFO tEmulatedConfigManager::SetupDiGetClassDevsA(const GUID* classGuid, PCSTR enumerator, HWND, DWORD flags) {
    // Every set covers every node: a class or enumerator filter is not
    // served, so asking for one fails rather than returning too much.
    if (enumerator != nullptr || (classGuid != nullptr && (flags & DIGCF_ALLCLASSES) == 0)) {
        lastError_ = ERROR_INVALID_PARAMETER;
        return INVALID_HANDLE_VALUE;
    }
    // One database for every set of a run: a survey must see one machine.
    try {
        if (!tableRead_) {
            tDeviceTable table;
            databaseFailure_.clear();
            if (!reader_ || !reader_(table, databaseFailure_)) {
                lastError_ = ERROR_GEN_FAILURE;
                return INVALID_HANDLE_VALUE;
            }
            table_ = std::move(table);
            indexTree();
            tableRead_ = true;
        }
        liveSets_.push_back(kSetBase + setsOpened_);
    } catch (const std::bad_alloc&) {
        lastError_ = ERROR_NOT_ENOUGH_MEMORY;
        databaseFailure_.clear();  // no room to say more than the error
        return INVALID_HANDLE_VALUE;
    }
    return reinterpret_cast<HDEVINFO>(kSetBase + setsOpened_++);
}

BOOL tEmulatedConfigManager::SetupDiGetDeviceInfoListDetailA(HDEVINFO set, SP_DEVINFO_LIST_DETAIL_DATA_A* detail) {
    if (!liveSet(set)) {
        return refuseSetupCall(ERROR_INVALID_HANDLE);
    }
    if (detail == nullptr || detail->cbSize != sizeof(SP_DEVINFO_LIST_DETAIL_DATA_A)) {
        return refuseSetupCall(ERROR_INVALID_USER_BUFFER);
    }
    // A local set: no class, no remote machine.
    std::memset(&detail->ClassGuid, 0, sizeof detail->ClassGuid);
    detail->RemoteMachineHandle = nullptr;
    detail->RemoteMachineName[0] = '\0';
    return TRUE;
}

BOOL tEmulatedConfigManager::SetupDiEnumDeviceInfo(HDEVINFO set, DWORD memberIndex, SP_DEVINFO_DATA* record) {
    if (!liveSet(set)) {
        return refuseSetupCall(ERROR_INVALID_HANDLE);
    }
    if (record == nullptr || record->cbSize != sizeof(SP_DEVINFO_DATA)) {
        return refuseSetupCall(ERROR_INVALID_USER_BUFFER);
    }
    if (memberIndex >= table_.size()) {
        lastError_ = enumerationEnd_;
        return FALSE;
    }
    std::memset(&record->ClassGuid, 0, sizeof record->ClassGuid);
    record->DevInst = memberIndex + 1;
    record->Reserved = 0;
    return TRUE;
}

BOOL tEmulatedConfigManager::SetupDiDestroyDeviceInfoList(HDEVINFO set) {
    if (!liveSet(set)) {
        return refuseSetupCall(ERROR_INVALID_HANDLE);
    }
    std::erase(liveSets_, reinterpret_cast<std::uintptr_t>(set));
    return TRUE;
}

CONFIGRET tEmulatedConfigManager::CM_Get_Device_IDA(DEVINST node, PSTR buffer, ULONG bufferLength, ULONG flags) {
    const tDeviceNode* device = nodeOf(node);
    if (device == nullptr) {
        return refuse(CR_INVALID_DEVNODE);
    }
    if (buffer == nullptr) {
        return refuse(CR_INVALID_POINTER);
    }
    if (flags != 0) {
        return refuse(CR_INVALID_FLAG);
    }
    if (device->idResult != CR_SUCCESS) {
        leaveGarbageInFilled(buffer, bufferLength);
        return device->idResult;
    }
    if (device->id.size() > bufferLength) {
        return CR_BUFFER_SMALL;
    }
    // An ID exactly as long as the buffer fills it with no terminator and
    // still succeeds, as the Windows call does.
    std::memcpy(buffer, device->id.data(), device->id.size());
    if (device->id.size() < bufferLength) {
        buffer[device->id.size()] = '\0';
    }
    return CR_SUCCESS;
}

CONFIGRET tEmulatedConfigManager::CM_Get_DevNode_Status(ULONG* status, ULONG* problem, DEVINST node, ULONG flags) {
    const tDeviceNode* device = nodeOf(node);
    if (device == nullptr) {
        return refuse(CR_INVALID_DEVNODE);
    }
    if (status == nullptr || problem == nullptr) {
        return refuse(CR_INVALID_POINTER);
    }
    if (flags != 0) {
        return refuse(CR_INVALID_FLAG);
    }
    if (device->statusResult != CR_SUCCESS) {
        // An unreliable service: the failed query still writes bits.
        leaveGarbageInNumbers(status, problem);
        return device->statusResult;
    }
    *status = (device->started ? DN_STARTED : 0) | (device->problem ? DN_HAS_PROBLEM : 0);
    *problem = device->problem.value_or(0);
    return CR_SUCCESS;
}

CONFIGRET tEmulatedConfigManager::CM_Get_First_Log_Conf(LOG_CONF* logConf, DEVINST node, ULONG flags) {
    const tDeviceNode* device = nodeOf(node);
    if (device == nullptr) {
        return refuse(CR_INVALID_DEVNODE);
    }
    if (logConf == nullptr) {
        return refuse(CR_INVALID_POINTER);
    }
    // Boot and allocated configurations are held; of any other kind a node
    // has none.
    const tDeviceConfig* config = flags == BOOT_LOG_CONF || flags == ALLOC_LOG_CONF ? configOf(*device, flags)
                                                                                    : nullptr;
    if (config == nullptr) {
        return CR_NO_MORE_LOG_CONF;
    }
    if (config->result != CR_SUCCESS) {
        leaveGarbageInNumbers(logConf);
        return config->result;
    }
    const std::optional<std::uintptr_t> handle = newHandle({true, node - 1, 0, flags});
    if (!handle) {
        return CR_OUT_OF_MEMORY;
    }
    *logConf = *handle;
    return CR_SUCCESS;
}

CONFIGRET tEmulatedConfigManager::CM_Get_Next_Res_Des(RES_DES* next, RES_DES current, RESOURCEID forResource,
                                                      RESOURCEID* resourceId, ULONG flags) {
    const tHandle* from = liveHandle(current);
    if (from == nullptr) {
        return refuse(CR_INVALID_RES_DES);
    }
    if (next == nullptr || (forResource == ResType_All && resourceId == nullptr)) {
        return refuse(CR_INVALID_POINTER);
    }
    if (flags != 0) {
        return refuse(CR_INVALID_FLAG);
    }
    const tDeviceConfig& config = *configOf(table_[from->node], from->kind);
    const std::optional<std::size_t> index = nextDescriptor(*from, forResource);
    const CONFIGRET planned = index ? config.descriptors[*index].result : config.endResult;
    // A descriptor planned to fail fails with whatever it was given; the end
    // fails when it is planned to say anything but "no more".
    if (index ? planned != CR_SUCCESS : planned != CR_NO_MORE_RES_DES) {
        leaveGarbageInNumbers(next, resourceId);
        return planned;
    }
    if (!index) {
        return CR_NO_MORE_RES_DES;
    }
    const std::size_t node = from->node;
    const std::optional<std::uintptr_t> handle = newHandle({false, node, *index, from->kind});
    if (!handle) {
        return CR_OUT_OF_MEMORY;
    }
    *next = *handle;
    if (resourceId != nullptr) {
        *resourceId = config.descriptors[*index].type;
    }
    return CR_SUCCESS;
}

CONFIGRET tEmulatedConfigManager::checkDescriptorCall(RES_DES descriptor, const void* output, ULONG flags) {
    const tHandle* handle = liveHandle(descriptor);
    if (handle == nullptr || handle->isLogConf) {
        return refuse(CR_INVALID_RES_DES);
    }
    if (output == nullptr) {
        return refuse(CR_INVALID_POINTER);
    }
    return flags != 0 ? refuse(CR_INVALID_FLAG) : CR_SUCCESS;
}

const tDeviceDescriptor& tEmulatedConfigManager::descriptorOf(const tHandle& handle) const {
    return configOf(table_[handle.node], handle.kind)->descriptors[handle.descriptor];
}

CONFIGRET tEmulatedConfigManager::CM_Get_Res_Des_Data_Size(ULONG* size, RES_DES descriptor, ULONG flags) {
    if (const CONFIGRET refused = checkDescriptorCall(descriptor, size, flags); refused != CR_SUCCESS) {
        return refused;
    }
    const tDeviceDescriptor& data = descriptorOf(*liveHandle(descriptor));
    if (data.sizeResult != CR_SUCCESS) {
        leaveGarbageInNumbers(size);
        return data.sizeResult;
    }
    *size = descriptorDataSize(data);
    return CR_SUCCESS;
}

CONFIGRET tEmulatedConfigManager::CM_Get_Res_Des_Data(RES_DES descriptor, PVOID buffer, ULONG bufferLength,
                                                      ULONG flags) {
    if (const CONFIGRET refused = checkDescriptorCall(descriptor, buffer, flags); refused != CR_SUCCESS) {
        return refused;
    }
    const tDeviceDescriptor& data = descriptorOf(*liveHandle(descriptor));
    if (data.dataResult != CR_SUCCESS) {
        leaveGarbageInFilled(buffer, bufferLength);
        return data.dataResult;
    }
    const std::uint32_t size = descriptorDataSize(data);
    if (bufferLength < size) {
        return CR_BUFFER_SMALL;
    }
    // The header of the descriptor's type, laid out as the configuration
    // manager lays it out; a type it does not describe is all zeros.
    unsigned char header[sizeof(MEM_DES)] = {};
    std::size_t headerSize = 0;
    if (data.type == ResType_BusNumber) {
        BUSNUMBER_DES busNumbers{};
        busNumbers.BUSD_Type = kBusNumberRangeType;
        busNumbers.BUSD_Alloc_Base = static_cast<ULONG>(data.base);
        busNumbers.BUSD_Alloc_End = static_cast<ULONG>(data.end);
        headerSize = sizeof busNumbers;
        std::memcpy(header, &busNumbers, headerSize);
    } else if (data.type == ResType_Mem || data.type == ResType_MemLarge) {
        // The two memory headers share one layout.
        MEM_DES memory{};
        memory.MD_Type = data.type == ResType_Mem ? kMemoryRangeType : kLargeMemoryRangeType;
        memory.MD_Alloc_Base = data.base;
        memory.MD_Alloc_End = data.end;
        memory.MD_Flags = data.flags;
        headerSize = sizeof memory;
        std::memcpy(header, &memory, headerSize);
    } else if (data.type == ResType_IO) {
        IO_DES ports{};
        ports.IOD_Type = kIoRangeType;
        ports.IOD_Alloc_Base = data.base;
        ports.IOD_Alloc_End = data.end;
        ports.IOD_DesFlags = data.flags;
        headerSize = sizeof ports;
        std::memcpy(header, &ports, headerSize);
    }
    const std::size_t copied = size < headerSize ? size : headerSize;
    auto* bytes = static_cast<unsigned char*>(buffer);
    std::memcpy(bytes, header, copied);
    std::memset(bytes + copied, 0, size - copied);
    return CR_SUCCESS;
}

CONFIGRET tEmulatedConfigManager::CM_Free_Res_Des_Handle(RES_DES descriptor) {
    const tHandle* handle = liveHandle(descriptor);
    if (handle == nullptr || handle->isLogConf) {
        return refuse(CR_INVALID_RES_DES);
    }
    handles_.erase(descriptor);
    return CR_SUCCESS;
}

CONFIGRET tEmulatedConfigManager::CM_Free_Log_Conf_Handle(LOG_CONF logConf) {
    const tHandle* handle = liveHandle(logConf);
    if (handle == nullptr || !handle->isLogConf) {
        return refuse(CR_INVALID_LOG_CONF);
    }
    handles_.erase(logConf);
    --logConfsHeld_;
    return CR_SUCCESS;
}

CONFIGRET tEmulatedConfigManager::treeStep(const std::vector<std::size_t>& links, DEVINST* found, DEVINST node,
                                           ULONG flags) {
    if (nodeOf(node) == nullptr) {
        return refuse(CR_INVALID_DEVNODE);
    }
    if (found == nullptr) {
        return refuse(CR_INVALID_POINTER);
    }
    if (flags != 0) {
        return refuse(CR_INVALID_FLAG);
    }
    const std::size_t next = links[node - 1];
    if (next == kNone) {
        return CR_NO_SUCH_DEVNODE;
    }
    *found = static_cast<DEVINST>(next + 1);
    return CR_SUCCESS;
}

CONFIGRET tEmulatedConfigManager::CM_Get_Child(DEVINST* child, DEVINST node, ULONG flags) {
    return treeStep(firstChild_, child, node, flags);
}

CONFIGRET tEmulatedConfigManager::CM_Get_Sibling(DEVINST* sibling, DEVINST node, ULONG flags) {
    return treeStep(nextSibling_, sibling, node, flags);
}

LSTATUS tEmulatedConfigManager::RegGetValueA(HKEY key, LPCSTR subKey, LPCSTR value, DWORD flags, DWORD* valueType,
                                             PVOID data, DWORD* dataSize) {
    if (subKey == nullptr || value == nullptr || (data != nullptr && dataSize == nullptr)) {
        ++misuses_;
        return ERROR_INVALID_PARAMETER;
    }
    // The one value held is the PCI driver's HackFlags, a REG_DWORD.
    if (key != HKEY_LOCAL_MACHINE || std::strcmp(subKey, kPciHackFlagsKey) != 0 ||
        std::strcmp(value, kPciHackFlagsValue) != 0) {
        return ERROR_FILE_NOT_FOUND;
    }
    if (hackFlags_.unreadable) {
        return ERROR_ACCESS_DENIED;
    }
    if (!hackFlags_.value) {
        return ERROR_FILE_NOT_FOUND;
    }
    if ((flags & RRF_RT_REG_DWORD) == 0) {
        return ERROR_UNSUPPORTED_TYPE;
    }
    if (valueType != nullptr) {
        *valueType = REG_DWORD;
    }
    if (data == nullptr) {
        if (dataSize != nullptr) {
            *dataSize = sizeof(DWORD);
        }
        return ERROR_SUCCESS;
    }
    const DWORD given = *dataSize;
    *dataSize = sizeof(DWORD);
    if (given < sizeof(DWORD)) {
        return ERROR_MORE_DATA;
    }
    std::memcpy(data, &*hackFlags_.value, sizeof(DWORD));
    return ERROR_SUCCESS;
}

const tDeviceNode* tEmulatedConfigManager::memberOf(HDEVINFO set, const SP_DEVINFO_DATA* record) {
    if (!liveSet(set)) {
        refuseSetupCall(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    const tDeviceNode* device = record != nullptr && record->cbSize == sizeof(SP_DEVINFO_DATA)
                                    ? nodeOf(record->DevInst)
                                    : nullptr;
    if (device == nullptr) {
        refuseSetupCall(ERROR_INVALID_PARAMETER);
    }
    return device;
}

BOOL tEmulatedConfigManager::giveDword(std::optional<DWORD> value, DWORD missing, DWORD* valueType, DWORD typeCode,
                                       BYTE* buffer, DWORD bufferSize, DWORD* requiredSize) {
    if (!value) {
        lastError_ = missing;
        return FALSE;
    }
    if (valueType != nullptr) {
        *valueType = typeCode;
    }
    if (requiredSize != nullptr) {
        *requiredSize = sizeof(DWORD);
    }
    if (buffer == nullptr || bufferSize < sizeof(DWORD)) {
        lastError_ = ERROR_INSUFFICIENT_BUFFER;
        return FALSE;
    }
    std::memcpy(buffer, &*value, sizeof(DWORD));
    return TRUE;
}

BOOL tEmulatedConfigManager::SetupDiGetDeviceRegistryPropertyA(HDEVINFO set, SP_DEVINFO_DATA* record,
                                                               DWORD property, DWORD* valueType, BYTE* buffer,
                                                               DWORD bufferSize, DWORD* requiredSize) {
    const tDeviceNode* device = memberOf(set, record);
    if (device == nullptr) {
        return FALSE;
    }
    // Of a device's registry properties only these are held; any other is
    // not set, as a property the device has no value for.
    std::optional<DWORD> value;
    switch (property) {
        case SPDRP_BUSNUMBER: value = device->busNumber; break;
        case SPDRP_ADDRESS: value = device->address; break;
        case SPDRP_UI_NUMBER: value = device->uiNumber; break;
        default: break;
    }
    return giveDword(value, ERROR_INVALID_DATA, valueType, REG_DWORD, buffer, bufferSize, requiredSize);
}

BOOL tEmulatedConfigManager::SetupDiGetDevicePropertyW(HDEVINFO set, SP_DEVINFO_DATA* record, const DEVPROPKEY* key,
                                                       DEVPROPTYPE* valueType, BYTE* buffer, DWORD bufferSize,
                                                       DWORD* requiredSize, DWORD flags) {
    const tDeviceNode* device = memberOf(set, record);
    if (device == nullptr) {
        return FALSE;
    }
    if (key == nullptr || valueType == nullptr) {
        return refuseSetupCall(ERROR_INVALID_USER_BUFFER);
    }
    if (flags != 0) {
        return refuseSetupCall(ERROR_INVALID_FLAGS);
    }
    const std::optional<DWORD> value = samePropertyKey(*key, kPciDeviceTypeKey)  ? device->deviceType
                                       : samePropertyKey(*key, kPciBarTypesKey) ? device->barTypes
                                                                        : std::nullopt;
    return giveDword(value, ERROR_NOT_FOUND, valueType, DEVPROP_TYPE_UINT32, buffer, bufferSize, requiredSize);
}

void* tEmulatedConfigManager::allocate(std::size_t size) {
    void* buffer = allocator_ ? allocator_(size) : std::malloc(size);
    if (buffer == nullptr) {
        return nullptr;
    }
    try {
        buffers_.insert(buffer);
    } catch (const std::bad_alloc&) {
        std::free(buffer);
        return nullptr;
    }
    return buffer;
}

void* tEmulatedConfigManager::heapAllocate(std::size_t size, void* context) {
    return static_cast<tEmulatedConfigManager*>(context)->allocate(size);
}

void tEmulatedConfigManager::heapRelease(void* buffer, void* context) {
    auto* self = static_cast<tEmulatedConfigManager*>(context);
    if (self->buffers_.erase(buffer) == 0) {
        ++self->misuses_;  // not ours, or released twice: leave it alone
        return;
    }
    std::free(buffer);
}

std::string tEmulatedConfigManager::leakReport() const {
    std::string text;
    appendCount(text, setsHeld(), "device set", "device sets");
    appendCount(text, logConfsHeld(), "log-configuration handle", "log-configuration handles");
    appendCount(text, descriptorsHeld(), "descriptor handle", "descriptor handles");
    appendCount(text, buffersHeld(), "descriptor buffer", "descriptor buffers");
    appendCount(text, misuses(), "invalid call", "invalid calls");
    return text;
}

}  // namespace nROOTSCOPE_1_0

#include "SimulatedDeviceTree.h"

#include <cstdlib>
#include <cstring>
#include <utility>

#include "HeldCounts.h"

namespace nROOTSCOPE_1_0 {

namespace {

// Handle values look nothing like small integers or pointers, so a survey
// that mixes them up fails loudly instead of working by accident.
constexpr std::uintptr_t kSetBase = 0x5e700000;
constexpr std::uintptr_t kHandleBase = 0x1c000000;

// A request this large stands for a heap that cannot satisfy it.
constexpr std::size_t kLargestAllocation = std::size_t{64} << 20;

// What a failed call leaves in an output buffer: bytes no caller may rely on.
constexpr unsigned char kGarbage = 0xCC;

}  // namespace

tSimulatedDeviceTree::tSimulatedDeviceTree(tSimTree tree)
    : tree_(std::move(tree)), heap_{heapAllocate, heapRelease, this} {}

tSimulatedDeviceTree::~tSimulatedDeviceTree() {
    // Whatever the survey leaked is reported by leakReport(); the memory
    // itself goes back here so a leaking test does not leak twice.
    for (void* buffer : buffers_) {
        std::free(buffer);
    }
}

const tSimNode* tSimulatedDeviceTree::nodeOf(DEVINST node) const {
    if (node == 0 || node > tree_.nodes.size()) {
        return nullptr;
    }
    return &tree_.nodes[node - 1];
}

bool tSimulatedDeviceTree::liveSet(HDEVINFO set) const {
    const auto value = reinterpret_cast<std::uintptr_t>(set);
    for (const std::uintptr_t live : liveSets_) {
        if (live == value) {
            return true;
        }
    }
    return false;
}

tSimulatedDeviceTree::tHandle* tSimulatedDeviceTree::liveHandle(std::uintptr_t value, bool wantLogConf, bool anyKind) {
    const auto found = handles_.find(value);
    if (found == handles_.end() || (!anyKind && found->second.isLogConf != wantLogConf)) {
        return nullptr;
    }
    return &found->second;
}

std::uintptr_t tSimulatedDeviceTree::newHandle(const tHandle& handle) {
    const std::uintptr_t value = kHandleBase + nextHandle_++;
    handles_.emplace(value, handle);
    if (handle.isLogConf) {
        ++logConfsHeld_;
    } else {
        ++descriptorsHeld_;
    }
    return value;
}

// ------------------------------------------------ numbering and fault plan

const char* simCallName(tSimCall call) {
    switch (call) {
        case tSimCall::OpenSet: return "SetupDiGetClassDevsA";
        case tSimCall::DescribeSet: return "SetupDiGetDeviceInfoListDetailA";
        case tSimCall::EnumerateSet: return "SetupDiEnumDeviceInfo";
        case tSimCall::DestroySet: return "SetupDiDestroyDeviceInfoList";
        case tSimCall::ReadId: return "CM_Get_Device_IDA";
        case tSimCall::QueryStatus: return "CM_Get_DevNode_Status";
        case tSimCall::FirstLogConf: return "CM_Get_First_Log_Conf";
        case tSimCall::NextResDes: return "CM_Get_Next_Res_Des";
        case tSimCall::ResDesDataSize: return "CM_Get_Res_Des_Data_Size";
        case tSimCall::ResDesData: return "CM_Get_Res_Des_Data";
        case tSimCall::FreeResDes: return "CM_Free_Res_Des_Handle";
        case tSimCall::FreeLogConf: return "CM_Free_Log_Conf_Handle";
        case tSimCall::Allocate: return "allocation";
    }
    return "?";
}

bool simCallReturnsConfigRet(tSimCall call) {
    switch (call) {
        case tSimCall::OpenSet:
        case tSimCall::DescribeSet:
        case tSimCall::EnumerateSet:
        case tSimCall::DestroySet:
        case tSimCall::Allocate:
            return false;
        default:
            return true;
    }
}

void tSimulatedDeviceTree::failCall(std::uint64_t call, CONFIGRET result) {
    faults_[call] = result == CR_SUCCESS ? CR_FAILURE : result;
}

void tSimulatedDeviceTree::keepCallLog(bool keep) {
    keepLog_ = keep;
    if (!keep) {
        log_.clear();
        log_.shrink_to_fit();
    }
}

std::optional<CONFIGRET> tSimulatedDeviceTree::beginCall(tSimCall call) {
    ++callNumber_;
    if (keepLog_) {
        log_.push_back({call, CR_SUCCESS, false});
    }
    if (faults_.empty()) {
        return std::nullopt;
    }
    const auto fault = faults_.find(callNumber_);
    if (fault == faults_.end()) {
        return std::nullopt;
    }
    if (keepLog_) {
        log_.back().injected = true;
    }
    return fault->second;
}

CONFIGRET tSimulatedDeviceTree::endCall(CONFIGRET result) {
    if (keepLog_) {
        log_.back().result = result;
    }
    return result;
}

BOOL tSimulatedDeviceTree::endCall(BOOL result) {
    if (keepLog_) {
        log_.back().result = result ? CR_SUCCESS : CR_FAILURE;
    }
    return result;
}

// A failed call's outputs: nothing a caller may rely on. Handle values are
// ones the tree never hands out, so using one is caught as misuse.
namespace {
constexpr std::uintptr_t kGarbageHandle = 0xCCCCCCCCu;
}  // namespace

HDEVINFO tSimulatedDeviceTree::SetupDiGetClassDevsA(const GUID*, PCSTR, HWND, DWORD) {
    ++calls_;
    if (beginCall(tSimCall::OpenSet)) {
        endCall(FALSE);
        return INVALID_HANDLE_VALUE;
    }
    HDEVINFO set = openSet();
    endCall(set != INVALID_HANDLE_VALUE ? TRUE : FALSE);
    return set;
}

BOOL tSimulatedDeviceTree::SetupDiGetDeviceInfoListDetailA(HDEVINFO set, SP_DEVINFO_LIST_DETAIL_DATA_A* detail) {
    ++calls_;
    if (beginCall(tSimCall::DescribeSet)) {
        return endCall(FALSE);
    }
    return endCall(describeSet(set, detail));
}

BOOL tSimulatedDeviceTree::SetupDiEnumDeviceInfo(HDEVINFO set, DWORD memberIndex, SP_DEVINFO_DATA* record) {
    ++calls_;
    if (beginCall(tSimCall::EnumerateSet)) {
        if (record != nullptr) {
            record->DevInst = static_cast<DWORD>(kGarbageHandle);
        }
        return endCall(FALSE);
    }
    return endCall(enumerateSet(set, memberIndex, record));
}

BOOL tSimulatedDeviceTree::SetupDiDestroyDeviceInfoList(HDEVINFO set) {
    ++calls_;
    const bool injected = beginCall(tSimCall::DestroySet).has_value();
    const BOOL result = destroySet(set);
    return endCall(injected ? FALSE : result);
}

CONFIGRET tSimulatedDeviceTree::CM_Get_Device_IDA(DEVINST node, PSTR buffer, ULONG bufferLength, ULONG) {
    ++calls_;
    if (const auto fault = beginCall(tSimCall::ReadId)) {
        if (buffer != nullptr) {
            std::memset(buffer, kGarbage, bufferLength);
        }
        return endCall(*fault);
    }
    return endCall(readId(node, buffer, bufferLength));
}

CONFIGRET tSimulatedDeviceTree::CM_Get_DevNode_Status(ULONG* status, ULONG* problem, DEVINST node, ULONG) {
    ++calls_;
    if (const auto fault = beginCall(tSimCall::QueryStatus)) {
        // An unreliable service: the failed query still writes bits.
        if (status != nullptr && problem != nullptr) {
            *status = ~ULONG{0};
            *problem = ~ULONG{0};
        }
        return endCall(*fault);
    }
    return endCall(queryStatus(status, problem, node));
}

CONFIGRET tSimulatedDeviceTree::CM_Get_First_Log_Conf(LOG_CONF* logConf, DEVINST node, ULONG flags) {
    ++calls_;
    if (const auto fault = beginCall(tSimCall::FirstLogConf)) {
        if (logConf != nullptr) {
            *logConf = kGarbageHandle;
        }
        return endCall(*fault);
    }
    return endCall(firstLogConf(logConf, node, flags));
}

CONFIGRET tSimulatedDeviceTree::CM_Get_Next_Res_Des(RES_DES* next, RES_DES current, RESOURCEID forResource,
                                                    RESOURCEID* resourceId, ULONG) {
    ++calls_;
    if (const auto fault = beginCall(tSimCall::NextResDes)) {
        if (next != nullptr) {
            *next = kGarbageHandle;
        }
        if (resourceId != nullptr) {
            *resourceId = ResType_BusNumber;  // the most tempting lie
        }
        return endCall(*fault);
    }
    return endCall(nextResDes(next, current, forResource, resourceId));
}

CONFIGRET tSimulatedDeviceTree::CM_Get_Res_Des_Data_Size(ULONG* size, RES_DES descriptor, ULONG) {
    ++calls_;
    if (const auto fault = beginCall(tSimCall::ResDesDataSize)) {
        if (size != nullptr) {
            *size = ~ULONG{0};
        }
        return endCall(*fault);
    }
    return endCall(resDesDataSize(size, descriptor));
}

CONFIGRET tSimulatedDeviceTree::CM_Get_Res_Des_Data(RES_DES descriptor, PVOID buffer, ULONG bufferLength, ULONG) {
    ++calls_;
    if (const auto fault = beginCall(tSimCall::ResDesData)) {
        if (buffer != nullptr) {
            std::memset(buffer, kGarbage, bufferLength);
        }
        return endCall(*fault);
    }
    return endCall(resDesData(descriptor, buffer, bufferLength));
}

CONFIGRET tSimulatedDeviceTree::CM_Free_Res_Des_Handle(RES_DES descriptor) {
    ++calls_;
    const auto fault = beginCall(tSimCall::FreeResDes);
    const CONFIGRET result = freeResDes(descriptor);
    return endCall(fault && result == CR_SUCCESS ? *fault : result);
}

CONFIGRET tSimulatedDeviceTree::CM_Free_Log_Conf_Handle(LOG_CONF logConf) {
    ++calls_;
    const auto fault = beginCall(tSimCall::FreeLogConf);
    const CONFIGRET result = freeLogConf(logConf);
    return endCall(fault && result == CR_SUCCESS ? *fault : result);
}

// ------------------------------------------------------- the tree's answers

HDEVINFO tSimulatedDeviceTree::openSet() {
    if (tree_.openSetFails) {
        return INVALID_HANDLE_VALUE;
    }
    const std::uintptr_t value = kSetBase + setsOpened_++;
    liveSets_.push_back(value);
    ++setsHeld_;
    return reinterpret_cast<HDEVINFO>(value);
}

BOOL tSimulatedDeviceTree::describeSet(HDEVINFO set, SP_DEVINFO_LIST_DETAIL_DATA_A* detail) {
    if (!liveSet(set) || detail == nullptr || detail->cbSize != sizeof(SP_DEVINFO_LIST_DETAIL_DATA_A)) {
        ++misuses_;
        return FALSE;
    }
    return tree_.detailQueryFails ? FALSE : TRUE;
}

BOOL tSimulatedDeviceTree::enumerateSet(HDEVINFO set, DWORD memberIndex, SP_DEVINFO_DATA* record) {
    if (!liveSet(set) || record == nullptr || record->cbSize != sizeof(SP_DEVINFO_DATA)) {
        ++misuses_;
        return FALSE;
    }
    if (memberIndex >= tree_.nodes.size()) {
        return FALSE;
    }
    record->DevInst = memberIndex + 1;
    return TRUE;
}

BOOL tSimulatedDeviceTree::destroySet(HDEVINFO set) {
    if (!liveSet(set)) {
        ++misuses_;
        return FALSE;
    }
    std::erase(liveSets_, reinterpret_cast<std::uintptr_t>(set));
    --setsHeld_;
    return TRUE;
}

CONFIGRET tSimulatedDeviceTree::readId(DEVINST node, PSTR buffer, ULONG bufferLength) {
    const tSimNode* simNode = nodeOf(node);
    if (simNode == nullptr) {
        ++misuses_;
        return CR_INVALID_DEVNODE;
    }
    if (buffer == nullptr) {
        ++misuses_;
        return CR_INVALID_POINTER;
    }
    if (simNode->idResult != CR_SUCCESS) {
        std::memset(buffer, kGarbage, bufferLength);
        return simNode->idResult;
    }
    const std::string& id = simNode->id;
    if (id.size() > bufferLength) {
        return CR_BUFFER_SMALL;
    }
    // An ID exactly as long as the buffer fills it without a terminating NUL
    // and still reports success, as a careless service would.
    std::memcpy(buffer, id.data(), id.size());
    if (id.size() < bufferLength) {
        buffer[id.size()] = '\0';
    }
    return CR_SUCCESS;
}

CONFIGRET tSimulatedDeviceTree::queryStatus(ULONG* status, ULONG* problem, DEVINST node) {
    const tSimNode* simNode = nodeOf(node);
    if (simNode == nullptr || status == nullptr || problem == nullptr) {
        ++misuses_;
        return simNode == nullptr ? CR_INVALID_DEVNODE : CR_INVALID_POINTER;
    }
    if (simNode->statusResult != CR_SUCCESS) {
        // An unreliable service: the failed query still writes bits.
        *status = ~ULONG{0};
        *problem = ~ULONG{0};
        return simNode->statusResult;
    }
    *status = simNode->started ? DN_STARTED : 0;
    *problem = 0;
    return CR_SUCCESS;
}

CONFIGRET tSimulatedDeviceTree::firstLogConf(LOG_CONF* logConf, DEVINST node, ULONG flags) {
    const tSimNode* simNode = nodeOf(node);
    if (simNode == nullptr || logConf == nullptr) {
        ++misuses_;
        return simNode == nullptr ? CR_INVALID_DEVNODE : CR_INVALID_POINTER;
    }
    if (flags != BOOT_LOG_CONF || !simNode->bootConfig) {
        return CR_NO_MORE_LOG_CONF;
    }
    if (simNode->bootConfig->result != CR_SUCCESS) {
        return simNode->bootConfig->result;
    }
    *logConf = newHandle({true, static_cast<std::size_t>(node - 1), 0});
    return CR_SUCCESS;
}

CONFIGRET tSimulatedDeviceTree::nextResDes(RES_DES* next, RES_DES current, RESOURCEID forResource,
                                           RESOURCEID* resourceId) {
    const tHandle* handle = liveHandle(current, false, true);
    if (handle == nullptr || next == nullptr) {
        ++misuses_;
        return handle == nullptr ? CR_INVALID_RES_DES : CR_INVALID_POINTER;
    }
    const tSimBootConfig& config = *tree_.nodes[handle->node].bootConfig;
    std::size_t index = handle->isLogConf ? 0 : handle->position + 1;
    while (index < config.descriptors.size() && forResource != ResType_All &&
           config.descriptors[index].type != forResource) {
        ++index;
    }
    if (index >= config.descriptors.size()) {
        return config.endResult;
    }
    const tSimDescriptor& descriptor = config.descriptors[index];
    if (descriptor.result != CR_SUCCESS) {
        return descriptor.result;
    }
    const std::size_t node = handle->node;
    *next = newHandle({false, node, index});
    if (resourceId != nullptr) {
        *resourceId = descriptor.type;
    }
    return CR_SUCCESS;
}

CONFIGRET tSimulatedDeviceTree::resDesDataSize(ULONG* size, RES_DES descriptor) {
    const tHandle* handle = liveHandle(descriptor, false, false);
    if (handle == nullptr || size == nullptr) {
        ++misuses_;
        return handle == nullptr ? CR_INVALID_RES_DES : CR_INVALID_POINTER;
    }
    const tSimDescriptor& simDescriptor = tree_.nodes[handle->node].bootConfig->descriptors[handle->position];
    if (simDescriptor.sizeResult != CR_SUCCESS) {
        *size = ~ULONG{0};
        return simDescriptor.sizeResult;
    }
    *size = simDescriptor.size;
    return CR_SUCCESS;
}

CONFIGRET tSimulatedDeviceTree::resDesData(RES_DES descriptor, PVOID buffer, ULONG bufferLength) {
    const tHandle* handle = liveHandle(descriptor, false, false);
    if (handle == nullptr || buffer == nullptr) {
        ++misuses_;
        return handle == nullptr ? CR_INVALID_RES_DES : CR_INVALID_POINTER;
    }
    const tSimDescriptor& simDescriptor = tree_.nodes[handle->node].bootConfig->descriptors[handle->position];
    if (simDescriptor.dataResult != CR_SUCCESS) {
        std::memset(buffer, kGarbage, bufferLength);
        return simDescriptor.dataResult;
    }
    if (bufferLength < simDescriptor.size) {
        return CR_BUFFER_SMALL;
    }
    // The five-word bus-number header, then zeros up to the reported size;
    // a descriptor reporting less than the header gets only that much of it.
    BUSNUMBER_DES header{};
    header.BUSD_Count = 1;
    header.BUSD_Alloc_Base = simDescriptor.base;
    header.BUSD_Alloc_End = simDescriptor.end;
    const std::size_t headerBytes = simDescriptor.size < sizeof header ? simDescriptor.size : sizeof header;
    auto* bytes = static_cast<unsigned char*>(buffer);
    std::memcpy(bytes, &header, headerBytes);
    std::memset(bytes + headerBytes, 0, simDescriptor.size - headerBytes);
    return CR_SUCCESS;
}

CONFIGRET tSimulatedDeviceTree::freeResDes(RES_DES descriptor) {
    tHandle* handle = liveHandle(descriptor, false, false);
    if (handle == nullptr) {
        ++misuses_;
        return CR_INVALID_RES_DES;
    }
    handles_.erase(descriptor);
    --descriptorsHeld_;
    return CR_SUCCESS;
}

CONFIGRET tSimulatedDeviceTree::freeLogConf(LOG_CONF logConf) {
    tHandle* handle = liveHandle(logConf, true, false);
    if (handle == nullptr) {
        ++misuses_;
        return CR_INVALID_LOG_CONF;
    }
    handles_.erase(logConf);
    --logConfsHeld_;
    return CR_SUCCESS;
}

void* tSimulatedDeviceTree::heapAllocate(std::size_t size, void* context) {
    auto* self = static_cast<tSimulatedDeviceTree*>(context);
    const bool injected = self->beginCall(tSimCall::Allocate).has_value();
    const bool exhausted = self->tree_.heapFailsAfter && self->allocations_ >= *self->tree_.heapFailsAfter;
    ++self->allocations_;
    void* buffer = nullptr;
    if (!injected && !exhausted && size <= kLargestAllocation) {
        buffer = std::malloc(size);
    }
    if (buffer != nullptr) {
        self->buffers_.insert(buffer);
    }
    self->endCall(buffer != nullptr ? TRUE : FALSE);
    return buffer;
}

void tSimulatedDeviceTree::heapRelease(void* buffer, void* context) {
    auto* self = static_cast<tSimulatedDeviceTree*>(context);
    if (self->buffers_.erase(buffer) == 0) {
        ++self->misuses_;  // not ours, or released twice: leave it alone
        return;
    }
    std::free(buffer);
}

std::string tSimulatedDeviceTree::leakReport() const {
    return describeHeld({setsHeld_, logConfsHeld_, descriptorsHeld_, buffers_.size(), misuses_});
}

}  // namespace nROOTSCOPE_1_0

// SPDX-License-Identifier: MIT
#include "SimulatedDeviceTree.h"

#include <cstring>
#include <new>
#include <utility>

namespace nROOTSCOPE_1_0 {

namespace {

// A request this large stands for a heap that cannot satisfy it.
constexpr std::size_t kLargestAllocation = std::size_t{64} << 20;

// What a failed call leaves in its outputs: bytes and handle values no
// caller may rely on (the tree never hands out such a handle).
constexpr unsigned char kGarbage = 0xCC;
constexpr std::uintptr_t kGarbageHandle = 0xCCCCCCCCu;

tDeviceTable deviceTableOf(const tSimTree& tree) {
    tDeviceTable table;
    table.reserve(tree.nodes.size());
    for (const tSimNode& node : tree.nodes) {
        tDeviceNode& device = table.emplace_back();
        device.id = node.id;
        device.started = node.started;
        if (node.bootConfig) {
            device.bootConfig.emplace(node.bootConfig->descriptors.begin(), node.bootConfig->descriptors.end());
        }
        if (node.allocConfig) {
            device.allocConfig.emplace(node.allocConfig->descriptors.begin(), node.allocConfig->descriptors.end());
        }
        device.parent = node.parent;
        device.busNumber = node.busNumber;
        device.address = node.address;
        device.uiNumber = node.uiNumber;
        device.deviceType = node.deviceType;
        device.barTypes = node.barTypes;
        device.problem = node.problem;
    }
    return table;
}

}  // namespace

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
        case tSimCall::GetChild: return "CM_Get_Child";
        case tSimCall::GetSibling: return "CM_Get_Sibling";
        case tSimCall::RegistryProperty: return "SetupDiGetDeviceRegistryPropertyA";
        case tSimCall::DeviceProperty: return "SetupDiGetDevicePropertyW";
        case tSimCall::RegistryValue: return "RegGetValueA";
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
        case tSimCall::RegistryProperty:
        case tSimCall::DeviceProperty:
        case tSimCall::RegistryValue:
            return false;
        default:
            return true;
    }
}

tSimulatedDeviceTree::tSimulatedDeviceTree(tSimTree tree)
    : tEmulatedConfigManager(deviceTableOf(tree), tree.hackFlags), tree_(std::move(tree)) {}

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

std::optional<CONFIGRET> tSimulatedDeviceTree::beginCall(tSimCall call, CONFIGRET planned) {
    ++callNumber_;
    const std::uint64_t ofKind = ++callsOfKind_[call];
    for (const tSimFailure& failure : tree_.failCalls) {
        if (failure.call == call && failure.nth == ofKind && planned == CR_SUCCESS) {
            planned = failure.result;
        }
    }
    const auto fault = faults_.find(callNumber_);
    const bool injected = fault != faults_.end();
    if (keepLog_) {
        try {
            log_.push_back({call, CR_SUCCESS, injected});
        } catch (const std::bad_alloc&) {
            keepLog_ = false;  // a log with a hole in it would mislead
            return CR_OUT_OF_MEMORY;
        }
    }
    if (injected) {
        return fault->second;
    }
    return planned != CR_SUCCESS ? std::optional<CONFIGRET>(planned) : std::nullopt;
}

CONFIGRET tSimulatedDeviceTree::endCall(CONFIGRET result) {
    if (keepLog_) {
        log_.back().result = result;
    }
    return result;
}

BOOL tSimulatedDeviceTree::endSetupCall(BOOL succeeded) {
    endCall(succeeded ? CR_SUCCESS : GetLastError());
    return succeeded;
}

BOOL tSimulatedDeviceTree::failSetupCall(DWORD error) {
    setLastError(error);
    return endSetupCall(FALSE);
}

const tSimNode* tSimulatedDeviceTree::simNode(DEVINST node) const {
    return node == 0 || node > tree_.nodes.size() ? nullptr : &tree_.nodes[node - 1];
}

HDEVINFO tSimulatedDeviceTree::SetupDiGetClassDevsA(const GUID* classGuid, PCSTR enumerator, HWND parent,
                                                    DWORD flags) {
    if (const auto planned = beginCall(tSimCall::OpenSet, tree_.openSetFails ? ERROR_GEN_FAILURE : 0)) {
        failSetupCall(*planned);
        return INVALID_HANDLE_VALUE;
    }
    HDEVINFO set = tEmulatedConfigManager::SetupDiGetClassDevsA(classGuid, enumerator, parent, flags);
    endSetupCall(set != INVALID_HANDLE_VALUE);
    return set;
}

BOOL tSimulatedDeviceTree::SetupDiGetDeviceInfoListDetailA(HDEVINFO set, SP_DEVINFO_LIST_DETAIL_DATA_A* detail) {
    if (const auto planned = beginCall(tSimCall::DescribeSet, tree_.detailQueryFails ? ERROR_GEN_FAILURE : 0)) {
        return failSetupCall(*planned);
    }
    return endSetupCall(tEmulatedConfigManager::SetupDiGetDeviceInfoListDetailA(set, detail));
}

BOOL tSimulatedDeviceTree::SetupDiEnumDeviceInfo(HDEVINFO set, DWORD memberIndex, SP_DEVINFO_DATA* record) {
    if (const auto planned = beginCall(tSimCall::EnumerateSet)) {
        if (record != nullptr) {
            record->DevInst = static_cast<DWORD>(kGarbageHandle);
        }
        return failSetupCall(*planned);
    }
    const BOOL found = tEmulatedConfigManager::SetupDiEnumDeviceInfo(set, memberIndex, record);
    if (!found && GetLastError() == static_cast<DWORD>(ERROR_NO_MORE_ITEMS)) {
        setLastError(tree_.enumError);
    }
    return endSetupCall(found);
}

BOOL tSimulatedDeviceTree::SetupDiDestroyDeviceInfoList(HDEVINFO set) {
    const auto planned = beginCall(tSimCall::DestroySet);
    const BOOL destroyed = tEmulatedConfigManager::SetupDiDestroyDeviceInfoList(set);
    return planned && destroyed ? failSetupCall(*planned) : endSetupCall(destroyed);
}

CONFIGRET tSimulatedDeviceTree::CM_Get_Device_IDA(DEVINST node, PSTR buffer, ULONG bufferLength, ULONG flags) {
    const tSimNode* sim = simNode(node);
    if (const auto planned = beginCall(tSimCall::ReadId, sim != nullptr ? sim->idResult : CR_SUCCESS)) {
        if (buffer != nullptr) {
            std::memset(buffer, kGarbage, bufferLength);
        }
        return endCall(*planned);
    }
    return endCall(tEmulatedConfigManager::CM_Get_Device_IDA(node, buffer, bufferLength, flags));
}

CONFIGRET tSimulatedDeviceTree::CM_Get_DevNode_Status(ULONG* status, ULONG* problem, DEVINST node, ULONG flags) {
    const tSimNode* sim = simNode(node);
    if (const auto planned = beginCall(tSimCall::QueryStatus, sim != nullptr ? sim->statusResult : CR_SUCCESS)) {
        // An unreliable service: the failed query still writes bits.
        if (status != nullptr && problem != nullptr) {
            *status = ~ULONG{0};
            *problem = ~ULONG{0};
        }
        return endCall(*planned);
    }
    return endCall(tEmulatedConfigManager::CM_Get_DevNode_Status(status, problem, node, flags));
}

CONFIGRET tSimulatedDeviceTree::CM_Get_First_Log_Conf(LOG_CONF* logConf, DEVINST node, ULONG flags) {
    const tSimNode* sim = simNode(node);
    const std::optional<tSimBootConfig>* config = sim == nullptr            ? nullptr
                                                  : flags == BOOT_LOG_CONF  ? &sim->bootConfig
                                                  : flags == ALLOC_LOG_CONF ? &sim->allocConfig
                                                                            : nullptr;
    const bool held = config != nullptr && config->has_value();
    if (const auto planned = beginCall(tSimCall::FirstLogConf, held ? (*config)->result : CR_SUCCESS)) {
        if (logConf != nullptr) {
            *logConf = kGarbageHandle;
        }
        return endCall(*planned);
    }
    return endCall(tEmulatedConfigManager::CM_Get_First_Log_Conf(logConf, node, flags));
}

CONFIGRET tSimulatedDeviceTree::CM_Get_Next_Res_Des(RES_DES* next, RES_DES current, RESOURCEID forResource,
                                                    RESOURCEID* resourceId, ULONG flags) {
    // The result planned for the descriptor the call would yield, or for
    // the end of the configuration.
    CONFIGRET planned = CR_SUCCESS;
    if (const tHandle* from = liveHandle(current)) {
        const tSimBootConfig& config = *simConfig(*from);
        const std::optional<std::size_t> index = nextDescriptor(*from, forResource);
        planned = index ? config.descriptors[*index].result
                        : (config.endResult == CR_NO_MORE_RES_DES ? CR_SUCCESS : config.endResult);
    }
    if (const auto failure = beginCall(tSimCall::NextResDes, planned)) {
        if (next != nullptr) {
            *next = kGarbageHandle;
        }
        if (resourceId != nullptr) {
            *resourceId = ResType_BusNumber;  // the most tempting lie
        }
        return endCall(*failure);
    }
    return endCall(tEmulatedConfigManager::CM_Get_Next_Res_Des(next, current, forResource, resourceId, flags));
}

const tSimBootConfig* tSimulatedDeviceTree::simConfig(const tHandle& handle) const {
    const tSimNode& node = tree_.nodes[handle.node];
    return handle.kind == ALLOC_LOG_CONF ? &*node.allocConfig : &*node.bootConfig;
}

const tSimDescriptor* tSimulatedDeviceTree::simDescriptor(RES_DES descriptor) const {
    const tHandle* handle = liveHandle(descriptor);
    return handle == nullptr || handle->isLogConf ? nullptr : &simConfig(*handle)->descriptors[handle->descriptor];
}

CONFIGRET tSimulatedDeviceTree::CM_Get_Res_Des_Data_Size(ULONG* size, RES_DES descriptor, ULONG flags) {
    const tSimDescriptor* sim = simDescriptor(descriptor);
    if (const auto failure = beginCall(tSimCall::ResDesDataSize, sim != nullptr ? sim->sizeResult : CR_SUCCESS)) {
        if (size != nullptr) {
            *size = ~ULONG{0};
        }
        return endCall(*failure);
    }
    return endCall(tEmulatedConfigManager::CM_Get_Res_Des_Data_Size(size, descriptor, flags));
}

CONFIGRET tSimulatedDeviceTree::CM_Get_Res_Des_Data(RES_DES descriptor, PVOID buffer, ULONG bufferLength,
                                                    ULONG flags) {
    const tSimDescriptor* sim = simDescriptor(descriptor);
    if (const auto failure = beginCall(tSimCall::ResDesData, sim != nullptr ? sim->dataResult : CR_SUCCESS)) {
        if (buffer != nullptr) {
            std::memset(buffer, kGarbage, bufferLength);
        }
        return endCall(*failure);
    }
    return endCall(tEmulatedConfigManager::CM_Get_Res_Des_Data(descriptor, buffer, bufferLength, flags));
}

CONFIGRET tSimulatedDeviceTree::CM_Free_Res_Des_Handle(RES_DES descriptor) {
    const auto planned = beginCall(tSimCall::FreeResDes);
    const CONFIGRET result = tEmulatedConfigManager::CM_Free_Res_Des_Handle(descriptor);
    return endCall(planned && result == CR_SUCCESS ? *planned : result);
}

CONFIGRET tSimulatedDeviceTree::CM_Free_Log_Conf_Handle(LOG_CONF logConf) {
    const auto planned = beginCall(tSimCall::FreeLogConf);
    const CONFIGRET result = tEmulatedConfigManager::CM_Free_Log_Conf_Handle(logConf);
    return endCall(planned && result == CR_SUCCESS ? *planned : result);
}

CONFIGRET tSimulatedDeviceTree::CM_Get_Child(DEVINST* child, DEVINST node, ULONG flags) {
    if (const auto failure = beginCall(tSimCall::GetChild)) {
        if (child != nullptr) {
            *child = static_cast<DEVINST>(kGarbageHandle);
        }
        return endCall(*failure);
    }
    return endCall(tEmulatedConfigManager::CM_Get_Child(child, node, flags));
}

CONFIGRET tSimulatedDeviceTree::CM_Get_Sibling(DEVINST* sibling, DEVINST node, ULONG flags) {
    if (const auto failure = beginCall(tSimCall::GetSibling)) {
        if (sibling != nullptr) {
            *sibling = static_cast<DEVINST>(kGarbageHandle);
        }
        return endCall(*failure);
    }
    return endCall(tEmulatedConfigManager::CM_Get_Sibling(sibling, node, flags));
}

BOOL tSimulatedDeviceTree::SetupDiGetDeviceRegistryPropertyA(HDEVINFO set, SP_DEVINFO_DATA* record, DWORD property,
                                                             DWORD* valueType, BYTE* buffer, DWORD bufferSize,
                                                             DWORD* requiredSize) {
    if (const auto planned = beginCall(tSimCall::RegistryProperty)) {
        if (buffer != nullptr) {
            std::memset(buffer, kGarbage, bufferSize);
        }
        return failSetupCall(*planned);
    }
    return endSetupCall(tEmulatedConfigManager::SetupDiGetDeviceRegistryPropertyA(set, record, property, valueType,
                                                                                  buffer, bufferSize, requiredSize));
}

BOOL tSimulatedDeviceTree::SetupDiGetDevicePropertyW(HDEVINFO set, SP_DEVINFO_DATA* record, const DEVPROPKEY* key,
                                                     DEVPROPTYPE* valueType, BYTE* buffer, DWORD bufferSize,
                                                     DWORD* requiredSize, DWORD flags) {
    if (const auto planned = beginCall(tSimCall::DeviceProperty)) {
        if (buffer != nullptr) {
            std::memset(buffer, kGarbage, bufferSize);
        }
        return failSetupCall(*planned);
    }
    return endSetupCall(tEmulatedConfigManager::SetupDiGetDevicePropertyW(set, record, key, valueType, buffer,
                                                                          bufferSize, requiredSize, flags));
}

LSTATUS tSimulatedDeviceTree::RegGetValueA(HKEY key, LPCSTR subKey, LPCSTR value, DWORD flags, DWORD* valueType,
                                           PVOID data, DWORD* dataSize) {
    if (const auto planned = beginCall(tSimCall::RegistryValue)) {
        if (data != nullptr && dataSize != nullptr) {
            std::memset(data, kGarbage, *dataSize);
        }
        return static_cast<LSTATUS>(endCall(*planned));
    }
    const LSTATUS result = tEmulatedConfigManager::RegGetValueA(key, subKey, value, flags, valueType, data, dataSize);
    endCall(static_cast<CONFIGRET>(result));
    return result;
}

void* tSimulatedDeviceTree::allocate(std::size_t size) {
    const bool exhausted = tree_.heapFailsAfter && allocations_ >= *tree_.heapFailsAfter;
    ++allocations_;
    const bool fails = beginCall(tSimCall::Allocate, exhausted ? CR_FAILURE : CR_SUCCESS).has_value();
    void* buffer = fails || size > kLargestAllocation ? nullptr : tEmulatedConfigManager::allocate(size);
    endCall(buffer != nullptr ? CR_SUCCESS : CR_FAILURE);
    return buffer;
}

}  // namespace nROOTSCOPE_1_0

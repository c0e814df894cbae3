// SPDX-License-Identifier: MIT
// A simulated device database for tests and the harness: the emulated
// configuration manager over a tree whose every call can be made to fail.
//
// Each node and descriptor carries the results its calls give (a fixture's
// "id_result", "size_result", ...), and every service call and heap
// allocation gets a number (1, 2, 3, ...) and a line in the call log, so a
// fault plan can fail any numbered call and a test can fail each call of a
// run in turn. A failed call leaves garbage in its outputs, as a real
// service may.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "EmulatedConfigManager.h"

namespace nROOTSCOPE_1_0 {

struct tSimDescriptor : tDeviceDescriptor {
    CONFIGRET result = CR_SUCCESS;  // of the CM_Get_Next_Res_Des call that yields it
    CONFIGRET sizeResult = CR_SUCCESS;
    CONFIGRET dataResult = CR_SUCCESS;
};

struct tSimBootConfig {
    CONFIGRET result = CR_SUCCESS;  // of CM_Get_First_Log_Conf
    std::vector<tSimDescriptor> descriptors;
    CONFIGRET endResult = CR_NO_MORE_RES_DES;  // after the last descriptor; never CR_SUCCESS
};

struct tSimNode {
    std::string id;
    CONFIGRET idResult = CR_SUCCESS;
    bool started = false;
    CONFIGRET statusResult = CR_SUCCESS;  // non-zero: the status bits read all ones
    std::optional<tSimBootConfig> bootConfig;
    // The device tree and the properties rootscope-headroom reads (see
    // tDeviceNode); a fixture without them loads as a flat list.
    std::optional<std::size_t> parent;
    std::optional<DWORD> busNumber;
    std::optional<DWORD> address;
    std::optional<DWORD> uiNumber;
    std::optional<ULONG> deviceType;
    std::optional<ULONG> barTypes;
    std::optional<ULONG> problem;  // CM_PROB_*: the status then has DN_HAS_PROBLEM
    std::optional<tSimBootConfig> allocConfig;
};


// What a numbered call was.
enum class tSimCall : std::uint8_t {
    OpenSet,         // SetupDiGetClassDevsA
    DescribeSet,     // SetupDiGetDeviceInfoListDetailA
    EnumerateSet,    // SetupDiEnumDeviceInfo
    DestroySet,      // SetupDiDestroyDeviceInfoList
    ReadId,          // CM_Get_Device_IDA
    QueryStatus,     // CM_Get_DevNode_Status
    FirstLogConf,    // CM_Get_First_Log_Conf
    NextResDes,      // CM_Get_Next_Res_Des
    ResDesDataSize,  // CM_Get_Res_Des_Data_Size
    ResDesData,      // CM_Get_Res_Des_Data
    FreeResDes,      // CM_Free_Res_Des_Handle
    FreeLogConf,     // CM_Free_Log_Conf_Handle
    Allocate,        // a descriptor buffer from the tree's heap
    GetChild,        // CM_Get_Child
    GetSibling,      // CM_Get_Sibling
    RegistryProperty,  // SetupDiGetDeviceRegistryPropertyA
    DeviceProperty,    // SetupDiGetDevicePropertyW
    RegistryValue,     // RegGetValueA
};

// A call of one kind that fails whenever it is made for the `nth` time
// (from 1): CM_ calls with `result`, SetupDi calls leaving it as their error.
struct tSimFailure {
    tSimCall call = tSimCall::GetChild;
    std::uint64_t nth = 1;
    CONFIGRET result = CR_FAILURE;
};

struct tSimTree {
    std::vector<tSimFailure> failCalls;
    bool openSetFails = false;
    bool detailQueryFails = false;
    std::optional<std::uint64_t> heapFailsAfter;  // allocations after the first N fail
    DWORD enumError = ERROR_NO_MORE_ITEMS;        // what SetupDiEnumDeviceInfo leaves past the last node
    tHackFlags hackFlags;                          // the PCI driver's HackFlags
    std::vector<tSimNode> nodes;
};

// The service's own name for the call ("CM_Get_Next_Res_Des", "allocation").
const char* simCallName(tSimCall call);

// True for the calls that answer with a CONFIGRET; the others answer only
// success or failure.
bool simCallReturnsConfigRet(tSimCall call);

// One line of the call log. `result` is the CONFIGRET of a CM_ call; for a
// SetupDi call, CR_SUCCESS or the error it left (ERROR_NO_MORE_ITEMS at the
// end of an enumeration); for an allocation, CR_SUCCESS or CR_FAILURE.
struct tSimCallRecord {
    tSimCall call;
    CONFIGRET result;
    bool injected;  // the failure came from the fault plan
};

class tSimulatedDeviceTree final : public tEmulatedConfigManager {
public:
    explicit tSimulatedDeviceTree(tSimTree tree);

    HDEVINFO SetupDiGetClassDevsA(const GUID* classGuid, PCSTR enumerator, HWND parent, DWORD flags) override;
    BOOL SetupDiGetDeviceInfoListDetailA(HDEVINFO set, SP_DEVINFO_LIST_DETAIL_DATA_A* detail) override;
    BOOL SetupDiEnumDeviceInfo(HDEVINFO set, DWORD memberIndex, SP_DEVINFO_DATA* record) override;
    BOOL SetupDiDestroyDeviceInfoList(HDEVINFO set) override;
    CONFIGRET CM_Get_Device_IDA(DEVINST node, PSTR buffer, ULONG bufferLength, ULONG flags) override;
    CONFIGRET CM_Get_DevNode_Status(ULONG* status, ULONG* problem, DEVINST node, ULONG flags) override;
    CONFIGRET CM_Get_First_Log_Conf(LOG_CONF* logConf, DEVINST node, ULONG flags) override;
    CONFIGRET CM_Get_Next_Res_Des(RES_DES* next, RES_DES current, RESOURCEID forResource, RESOURCEID* resourceId,
                                  ULONG flags) override;
    CONFIGRET CM_Get_Res_Des_Data_Size(ULONG* size, RES_DES descriptor, ULONG flags) override;
    CONFIGRET CM_Get_Res_Des_Data(RES_DES descriptor, PVOID buffer, ULONG bufferLength, ULONG flags) override;
    CONFIGRET CM_Free_Res_Des_Handle(RES_DES descriptor) override;
    CONFIGRET CM_Free_Log_Conf_Handle(LOG_CONF logConf) override;
    CONFIGRET CM_Get_Child(DEVINST* child, DEVINST node, ULONG flags) override;
    CONFIGRET CM_Get_Sibling(DEVINST* sibling, DEVINST node, ULONG flags) override;
    BOOL SetupDiGetDeviceRegistryPropertyA(HDEVINFO set, SP_DEVINFO_DATA* record, DWORD property, DWORD* valueType,
                                           BYTE* buffer, DWORD bufferSize, DWORD* requiredSize) override;
    BOOL SetupDiGetDevicePropertyW(HDEVINFO set, SP_DEVINFO_DATA* record, const DEVPROPKEY* key,
                                   DEVPROPTYPE* valueType, BYTE* buffer, DWORD bufferSize, DWORD* requiredSize,
                                   DWORD flags) override;
    LSTATUS RegGetValueA(HKEY key, LPCSTR subKey, LPCSTR value, DWORD flags, DWORD* valueType, PVOID data,
                         DWORD* dataSize) override;

    std::uint64_t allocations() const { return allocations_; }
    // Service calls made so far, of every kind (allocations not counted).
    std::uint64_t calls() const { return callNumber_ - allocations_; }

    // Makes numbered call `call` fail. CM_ calls return `result`; SetupDi
    // calls fail and leave `result` as their error; allocations return
    // null. A failed release still releases: its caller cannot try again.
    void failCall(std::uint64_t call, CONFIGRET result = CR_FAILURE);

    // Every numbered call so far, in order; entry k-1 is call k.
    const std::vector<tSimCallRecord>& callLog() const { return log_; }

    // The log grows by a record a call; a tree that serves run after run (a
    // benchmark's iterations) turns it off. Numbering and faults stay.
    void keepCallLog(bool keep);

private:
    // Numbers and logs the next call; returns the failure planned for it,
    // from the fault plan or else `planned` when that is not success.
    std::optional<CONFIGRET> beginCall(tSimCall call, CONFIGRET planned = CR_SUCCESS);
    CONFIGRET endCall(CONFIGRET result);
    // Logs a SetupDi call's outcome: success, or the error it left.
    BOOL endSetupCall(BOOL succeeded);
    BOOL failSetupCall(DWORD error);
    const tSimNode* simNode(DEVINST node) const;
    const tSimBootConfig* simConfig(const tHandle& handle) const;
    const tSimDescriptor* simDescriptor(RES_DES descriptor) const;
    void* allocate(std::size_t size) override;

    tSimTree tree_;
    std::map<std::uint64_t, CONFIGRET> faults_;
    std::map<tSimCall, std::uint64_t> callsOfKind_;
    std::vector<tSimCallRecord> log_;
    bool keepLog_ = true;
    std::uint64_t callNumber_ = 0;
    std::uint64_t allocations_ = 0;
};

// Installs a database's services and heap for one scope.
class tEmulationScope {
public:
    explicit tEmulationScope(tEmulatedConfigManager& services)
        : services_(services), previousHeap_(useHeap(&services.heap())) {}
    ~tEmulationScope() { useHeap(previousHeap_); }
    tEmulationScope(const tEmulationScope&) = delete;
    tEmulationScope& operator=(const tEmulationScope&) = delete;

private:
    tScopedDeviceServices services_;
    const tHeap* previousHeap_;
};

}  // namespace nROOTSCOPE_1_0

// A device database held in memory, served through the device-services seam.
//
// Every operation's result can be set per node and per descriptor, and the
// tree keeps count of every device set, log-configuration handle, descriptor
// handle and descriptor buffer still held, so a caller can prove that each is
// released on every path. Handles are never reused: a handle used after its
// release, or released twice, is caught and counted as misuse. Only live sets
// and handles are kept, so a tree serving run after run (a benchmark's
// iterations) stays the size of what is held, not of what was ever opened.
//
// Every service call and every heap allocation gets a number (1, 2, 3, ...)
// and a line in the call log, and a fault plan can make any numbered call
// fail, so a test can fail each call of a run in turn.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "DeviceServices.h"
#include "Memory.h"

namespace nROOTSCOPE_1_0 {

struct tSimDescriptor {
    RESOURCEID type = ResType_BusNumber;
    CONFIGRET result = CR_SUCCESS;  // of the CM_Get_Next_Res_Des call that yields it
    std::uint32_t base = 0;
    std::uint32_t end = 0;
    std::uint32_t size = sizeof(BUSNUMBER_DES);  // what CM_Get_Res_Des_Data_Size reports
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
};

struct tSimTree {
    bool openSetFails = false;
    bool detailQueryFails = false;
    std::optional<std::uint64_t> heapFailsAfter;  // allocations after the first N fail
    std::vector<tSimNode> nodes;
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
};

// The service's own name for the call ("CM_Get_Next_Res_Des", "allocation").
const char* simCallName(tSimCall call);

// True for the calls that answer with a CONFIGRET; the others answer only
// success or failure.
bool simCallReturnsConfigRet(tSimCall call);

// One line of the call log: the call and how it came out. For the calls
// without a CONFIGRET, `result` is CR_SUCCESS or CR_FAILURE.
struct tSimCallRecord {
    tSimCall call;
    CONFIGRET result;
    bool injected;  // the failure came from the fault plan
};

class tSimulatedDeviceTree final : public iDeviceServices {
public:
    explicit tSimulatedDeviceTree(tSimTree tree);
    ~tSimulatedDeviceTree() override;
    tSimulatedDeviceTree(const tSimulatedDeviceTree&) = delete;
    tSimulatedDeviceTree& operator=(const tSimulatedDeviceTree&) = delete;

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

    // The heap that descriptor buffers come from while this tree is in use:
    // it counts buffers and runs out after the tree's heapFailsAfter.
    const tHeap& heap() const { return heap_; }

    std::uint64_t setsHeld() const { return setsHeld_; }
    std::uint64_t logConfsHeld() const { return logConfsHeld_; }
    std::uint64_t descriptorsHeld() const { return descriptorsHeld_; }
    std::uint64_t buffersHeld() const { return buffers_.size(); }
    std::uint64_t setsOpened() const { return setsOpened_; }
    std::uint64_t allocations() const { return allocations_; }
    std::uint64_t misuses() const { return misuses_; }
    // Service calls made so far, of every kind.
    std::uint64_t calls() const { return calls_; }

    // Makes numbered call `call` (counting from 1, service calls and heap
    // allocations alike) fail. CM_ calls return `result`, which must not be
    // CR_SUCCESS; SetupDi calls fail (INVALID_HANDLE_VALUE or FALSE) and
    // allocations return null whatever `result` says. A failed call leaves
    // garbage in its outputs, as a real service may. A failed release still
    // releases: its caller has no way to try again.
    void failCall(std::uint64_t call, CONFIGRET result = CR_FAILURE);

    // Every numbered call so far, in order; entry k-1 is call k.
    const std::vector<tSimCallRecord>& callLog() const { return log_; }

    // The log grows by a record a call; a tree that serves run after run (a
    // benchmark's iterations) turns it off. Call numbering and faults stay.
    void keepCallLog(bool keep);

    // What is still held and what was misused, as one line ("" when clean),
    // e.g. "1 device set, 2 descriptor handles".
    std::string leakReport() const;

private:
    struct tHandle {
        bool isLogConf;
        std::size_t node;
        std::size_t position;  // descriptor index; unused for the log conf
    };

    const tSimNode* nodeOf(DEVINST node) const;
    tHandle* liveHandle(std::uintptr_t value, bool wantLogConf, bool anyKind);
    std::uintptr_t newHandle(const tHandle& handle);
    bool liveSet(HDEVINFO set) const;

    // Numbers the next call, logs it and returns the planned failure, if any.
    std::optional<CONFIGRET> beginCall(tSimCall call);
    // Records how the call begun last came out and passes the result on.
    CONFIGRET endCall(CONFIGRET result);
    BOOL endCall(BOOL result);

    HDEVINFO openSet();
    BOOL describeSet(HDEVINFO set, SP_DEVINFO_LIST_DETAIL_DATA_A* detail);
    BOOL enumerateSet(HDEVINFO set, DWORD memberIndex, SP_DEVINFO_DATA* record);
    BOOL destroySet(HDEVINFO set);
    CONFIGRET readId(DEVINST node, PSTR buffer, ULONG bufferLength);
    CONFIGRET queryStatus(ULONG* status, ULONG* problem, DEVINST node);
    CONFIGRET firstLogConf(LOG_CONF* logConf, DEVINST node, ULONG flags);
    CONFIGRET nextResDes(RES_DES* next, RES_DES current, RESOURCEID forResource, RESOURCEID* resourceId);
    CONFIGRET resDesDataSize(ULONG* size, RES_DES descriptor);
    CONFIGRET resDesData(RES_DES descriptor, PVOID buffer, ULONG bufferLength);
    CONFIGRET freeResDes(RES_DES descriptor);
    CONFIGRET freeLogConf(LOG_CONF logConf);

    static void* heapAllocate(std::size_t size, void* context);
    static void heapRelease(void* buffer, void* context);

    tSimTree tree_;
    // Live sets only; a walk holds one, so the search is one comparison.
    std::vector<std::uintptr_t> liveSets_;
    std::uint64_t setsOpened_ = 0;
    // Live handles only, by value; values count up and are never reused.
    std::unordered_map<std::uintptr_t, tHandle> handles_;
    std::uintptr_t nextHandle_ = 0;
    std::uint64_t setsHeld_ = 0;
    std::uint64_t logConfsHeld_ = 0;
    std::uint64_t descriptorsHeld_ = 0;
    std::uint64_t allocations_ = 0;
    std::uint64_t misuses_ = 0;
    std::uint64_t calls_ = 0;
    std::unordered_set<void*> buffers_;
    std::map<std::uint64_t, CONFIGRET> faults_;
    std::vector<tSimCallRecord> log_;
    bool keepLog_ = true;
    std::uint64_t callNumber_ = 0;
    tHeap heap_;
};

// Installs a tree's services and heap for one scope.
class tSimulatedTreeScope {
public:
    explicit tSimulatedTreeScope(tSimulatedDeviceTree& tree)
        : services_(tree), previousHeap_(useHeap(&tree.heap())) {}
    ~tSimulatedTreeScope() { useHeap(previousHeap_); }
    tSimulatedTreeScope(const tSimulatedTreeScope&) = delete;
    tSimulatedTreeScope& operator=(const tSimulatedTreeScope&) = delete;

private:
    tScopedDeviceServices services_;
    const tHeap* previousHeap_;
};

}  // namespace nROOTSCOPE_1_0

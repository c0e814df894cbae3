// SPDX-License-Identifier: MIT
// A device database held in memory and served through the device-services
// seam the way SetupAPI and the configuration manager serve Windows' own.
// The Linux host fills one from what the kernel publishes; the test harness
// fills one from a fixture.
//
// Handles behave as the Windows ones do: each is valid until it is freed,
// whatever else is freed meanwhile, and no value is ever handed out twice.
// A call on a handle that is not live, or with a missing output, is refused
// and counted as misuse; what is still held, descriptor buffers from heap()
// included, is reported in one line by leakReport(). No exception leaves a
// call: a failed allocation is the call's own failure.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "DeviceServices.h"
#include "DeviceTable.h"
#include "Memory.h"

namespace nROOTSCOPE_1_0 {

class tEmulatedConfigManager : public iDeviceServices {
public:
    // Serves `table` from the start, and `hackFlags` as the PCI driver's
    // registry value.
    explicit tEmulatedConfigManager(tDeviceTable table, tHackFlags hackFlags = {});
    ~tEmulatedConfigManager() override;
    tEmulatedConfigManager(const tEmulatedConfigManager&) = delete;
    tEmulatedConfigManager& operator=(const tEmulatedConfigManager&) = delete;

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
    DWORD GetLastError() override { return lastError_; }
    std::string describeDatabaseFailure() const override { return databaseFailure_; }

    // Descriptor buffers come from here while this database is in use: it
    // keeps each one until it is given back.
    const tHeap& heap() const { return heap_; }

    std::uint64_t setsHeld() const { return liveSets_.size(); }
    std::uint64_t setsOpened() const { return setsOpened_; }
    std::uint64_t logConfsHeld() const { return logConfsHeld_; }
    std::uint64_t descriptorsHeld() const { return handles_.size() - logConfsHeld_; }
    std::uint64_t buffersHeld() const { return buffers_.size(); }
    std::uint64_t misuses() const { return misuses_; }

    // What is still held and what was misused, as one line ("" when clean):
    // "1 device set, 2 descriptor handles, 1 invalid call".
    std::string leakReport() const;

protected:
    // The table is read when the first device set is opened.
    tEmulatedConfigManager();

    // Fills `table` from wherever this database lives. False when it cannot
    // be read, with what could not be read and why in `failure`: the set
    // then fails to open, and the next open tries again.
    virtual bool readDeviceTable(tDeviceTable& table, std::string& failure);

    // What a live log-configuration or descriptor handle stands for.
    struct tHandle {
        bool isLogConf = true;
        std::size_t node = 0;        // index in the table
        std::size_t descriptor = 0;  // index in the configuration; unused for a log conf
        ULONG kind = BOOT_LOG_CONF;  // which configuration: BOOT_LOG_CONF or ALLOC_LOG_CONF
    };
    const tHandle* liveHandle(std::uintptr_t value) const;
    const tDeviceNode* nodeOf(DEVINST node) const;
    // The configuration of `kind` of a node; null when it has none.
    static const std::vector<tDeviceDescriptor>* configOf(const tDeviceNode& node, ULONG kind);
    const tDeviceDescriptor& descriptorOf(const tHandle& handle) const;
    // The descriptor of `node` after `from` (its index, or the log conf's
    // position before the first) whose type `forResource` asks for.
    std::optional<std::size_t> nextDescriptor(const tHandle& from, RESOURCEID forResource) const;

    void setLastError(DWORD error) { lastError_ = error; }

    // The heap's allocation; null when there is no room.
    virtual void* allocate(std::size_t size);

private:
    bool liveSet(HDEVINFO set) const;
    std::optional<std::uintptr_t> newHandle(const tHandle& handle);
    CONFIGRET refuse(CONFIGRET result);
    // CR_SUCCESS for a live descriptor handle, an output and no flags;
    // otherwise the refusal, counted as misuse.
    CONFIGRET checkDescriptorCall(RES_DES descriptor, const void* output, ULONG flags);
    BOOL refuseSetupCall(DWORD error);
    // The table's entry for a live set's member record; null, with the
    // error left, otherwise.
    const tDeviceNode* memberOf(HDEVINFO set, const SP_DEVINFO_DATA* record);
    // Links every node to its first child and next sibling, so that a walk
    // of the tree costs one step a node.
    void indexTree();
    // One step along `links` (first children or next siblings) from `node`.
    CONFIGRET treeStep(const std::vector<std::size_t>& links, DEVINST* found, DEVINST node, ULONG flags);
    // A DWORD property into the caller's buffer, as the SetupDi calls give one.
    BOOL giveDword(std::optional<DWORD> value, DWORD missing, DWORD* valueType, DWORD typeCode, BYTE* buffer,
                   DWORD bufferSize, DWORD* requiredSize);

    static void* heapAllocate(std::size_t size, void* context);
    static void heapRelease(void* buffer, void* context);

    tDeviceTable table_;
    tHackFlags hackFlags_;
    std::vector<std::size_t> firstChild_;   // per entry: its first child's entry, or kNone
    std::vector<std::size_t> nextSibling_;  // per entry: the next entry with its parent, or kNone
    bool tableRead_ = false;
    std::string databaseFailure_;
    DWORD lastError_ = 0;
    std::vector<std::uintptr_t> liveSets_;  // a walk holds one, so this stays tiny
    std::uint64_t setsOpened_ = 0;
    std::unordered_map<std::uintptr_t, tHandle> handles_;  // live handles only
    std::uintptr_t handlesMade_ = 0;
    std::uint64_t logConfsHeld_ = 0;
    std::uint64_t misuses_ = 0;
    std::unordered_set<void*> buffers_;
    tHeap heap_;
};

}  // namespace nROOTSCOPE_1_0

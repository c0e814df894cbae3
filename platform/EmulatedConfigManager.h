// SPDX-License-Identifier: MIT
// A device database held in memory and served through the device-services
// seam the way SetupAPI and the configuration manager serve Windows' own.
// It is given its table, or a reader of one (the Linux host's reads what
// the kernel publishes), and an allocator for its buffers; a fixture's
// table also says which of its calls fail on this machine (tDeviceNode's
// results), and those are answered here like any other fact.
//
// Handles behave as the Windows ones do: each is valid until it is freed,
// whatever else is freed meanwhile, and no value is ever handed out twice.
// A call on a handle that is not live, or with a missing output, is refused
// and counted as misuse; what is still held, descriptor buffers from heap()
// included, is reported in one line by leakReport(). No exception leaves a
// call: a failed allocation is the call's own failure.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "DeviceServices.h"
#include "DeviceTable.h"
#include "Memory.h"

namespace nROOTSCOPE_1_0 {

// Fills a table from wherever a database lives. False when it cannot be
// read, with what could not be read and why in the string: the set then
// fails to open, and the next open tries again.
using tDeviceTableReader = std::function<bool(tDeviceTable&, std::string&)>;

class tEmulatedConfigManager final : public iDeviceServices {
public:
    // Serves `table` from the start, and `hackFlags` as the PCI driver's
    // registry value.
    explicit tEmulatedConfigManager(tDeviceTable table, tHackFlags hackFlags = {});
    // Serves what `reader` gives, read when the first device set is opened.
    explicit tEmulatedConfigManager(tDeviceTableReader reader);
    ~tEmulatedConfigManager() override;
    tEmulatedConfigManager(const tEmulatedConfigManager&) = delete;
    tEmulatedConfigManager& operator=(const tEmulatedConfigManager&) = delete;

    ROOTSCOPE_DEVICE_CALLS(ROOTSCOPE_OVERRIDE_DEVICE_CALL)
    DWORD GetLastError() override { return lastError_; }
    std::string describeDatabaseFailure() const override { return databaseFailure_; }

    // What SetupDiEnumDeviceInfo leaves past the last member: on Windows
    // ERROR_NO_MORE_ITEMS, and anything else in a database that fails there.
    void endEnumerationWith(DWORD error) { enumerationEnd_ = error; }

    // Descriptor buffers come from here while this database is in use: it
    // keeps each one until it is given back.
    const tHeap& heap() const { return heap_; }
    // Takes the heap's memory from `allocator` from now on; empty: malloc.
    void useAllocator(tBufferAllocator allocator) { allocator_ = std::move(allocator); }

    std::uint64_t setsHeld() const { return liveSets_.size(); }
    std::uint64_t setsOpened() const { return setsOpened_; }
    std::uint64_t logConfsHeld() const { return logConfsHeld_; }
    std::uint64_t descriptorsHeld() const { return handles_.size() - logConfsHeld_; }
    std::uint64_t buffersHeld() const { return buffers_.size(); }
    std::uint64_t misuses() const { return misuses_; }

    // What is still held and what was misused, as one line ("" when clean):
    // "1 device set, 2 descriptor handles, 1 invalid call".
    std::string leakReport() const;

private:
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
    static const tDeviceConfig* configOf(const tDeviceNode& node, ULONG kind);
    const tDeviceDescriptor& descriptorOf(const tHandle& handle) const;
    // The descriptor of `node` after `from` (its index, or the log conf's
    // position before the first) whose type `forResource` asks for.
    std::optional<std::size_t> nextDescriptor(const tHandle& from, RESOURCEID forResource) const;

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

    void* allocate(std::size_t size);
    static void* heapAllocate(std::size_t size, void* context);
    static void heapRelease(void* buffer, void* context);

    tDeviceTableReader reader_;
    tDeviceTable table_;
    tHackFlags hackFlags_;
    DWORD enumerationEnd_ = ERROR_NO_MORE_ITEMS;
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
    tBufferAllocator allocator_;
    tHeap heap_;
};

}  // namespace nROOTSCOPE_1_0

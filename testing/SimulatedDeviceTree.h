// SPDX-License-Identifier: MIT
// A simulated device database for tests and the harness: the emulated
// configuration manager over a fixture's table, inside the fault-injecting
// wrapper, so that every call can be made to fail.
//
// Each node and descriptor carries the results its calls give (a fixture's
// "id_result", "size_result", ...): the emulation answers with them. Every
// service call and heap allocation gets a number (1, 2, 3, ...) and a line
// in the call log, so a fault plan can fail any numbered call and a test
// can fail each call of a run in turn. A failed call leaves garbage in its
// outputs, as a real service may.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "EmulatedConfigManager.h"
#include "FaultInjectingServices.h"

namespace nROOTSCOPE_1_0 {

// A fixture's nodes are the table's, results and all.
using tSimDescriptor = tDeviceDescriptor;
using tSimBootConfig = tDeviceConfig;
using tSimNode = tDeviceNode;

struct tSimTree {
    std::vector<tSimFailure> failCalls;
    bool openSetFails = false;
    bool detailQueryFails = false;
    std::optional<std::uint64_t> heapFailsAfter;  // allocations after the first N fail
    DWORD enumError = ERROR_NO_MORE_ITEMS;        // what SetupDiEnumDeviceInfo leaves past the last node
    tHackFlags hackFlags;                          // the PCI driver's HackFlags
    std::vector<tSimNode> nodes;
};

class tSimulatedDeviceTree {
public:
    explicit tSimulatedDeviceTree(tSimTree tree);
    tSimulatedDeviceTree(const tSimulatedDeviceTree&) = delete;
    tSimulatedDeviceTree& operator=(const tSimulatedDeviceTree&) = delete;

    // The services to install: the emulation seen through the wrapper.
    iDeviceServices& services() { return faults_; }
    tEmulatedConfigManager& emulation() { return emulation_; }
    // Descriptor buffers come from here; each allocation is a numbered call.
    const tHeap& heap() const { return emulation_.heap(); }

    std::uint64_t allocations() const { return faults_.allocations(); }
    std::uint64_t calls() const { return faults_.calls(); }
    void failCall(std::uint64_t call, CONFIGRET result = CR_FAILURE) { faults_.failCall(call, result); }
    const std::vector<tSimCallRecord>& callLog() const { return faults_.callLog(); }
    void keepCallLog(bool keep) { faults_.keepCallLog(keep); }
    std::string leakReport() const { return emulation_.leakReport(); }

private:
    tEmulatedConfigManager emulation_;
    tFaultInjectingServices faults_;
};

// Installs services and their heap for one scope.
class tEmulationScope {
public:
    tEmulationScope(iDeviceServices& services, const tHeap& heap)
        : services_(services), previousHeap_(useHeap(&heap)) {}
    explicit tEmulationScope(tEmulatedConfigManager& services) : tEmulationScope(services, services.heap()) {}
    explicit tEmulationScope(tSimulatedDeviceTree& tree) : tEmulationScope(tree.services(), tree.heap()) {}
    ~tEmulationScope() { useHeap(previousHeap_); }
    tEmulationScope(const tEmulationScope&) = delete;
    tEmulationScope& operator=(const tEmulationScope&) = delete;

private:
    tScopedDeviceServices services_;
    const tHeap* previousHeap_;
};

}  // namespace nROOTSCOPE_1_0

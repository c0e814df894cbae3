// SPDX-License-Identifier: MIT
// rootscope-headroom's Windows reader over simulated device trees of 1,000
// and 10,000 nodes (headroom/windows/N): its cost per node must not grow
// with the tree.
//
// The machine is the Linux benchmark's, as Windows shows it: each root
// bridge has 32 root ports, each port a bus of one eight-function device.
// Every function has a UI number, the port's and its card's the same, as
// Windows gives a slot's number to whatever sits in it: so every function
// is a slot to tell from the ones already kept. Every configuration holds
// memory and I/O as Windows lists them: the root's windows, each port's
// windows (no flags, no BarTypes: found by what they hold below) and two
// BARs per function.
#include <benchmark/benchmark.h>

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "SimulatedDeviceTree.h"
#include "SurveyBench.h"
#include "WindowsTopologyReader.h"

namespace nROOTSCOPE_1_0 {
namespace {

constexpr unsigned kPortsPerRoot = 32;
constexpr unsigned kFunctionsPerDevice = 8;

struct tGeneratedWindowsTree {
    tSimTree tree;
    std::size_t roots = 0;
    std::size_t slots = 0;
};

tSimBootConfig busNumbers(std::uint32_t first, std::uint32_t last) {
    tSimDescriptor range;
    range.type = ResType_BusNumber;
    range.base = first;
    range.end = last;
    tSimBootConfig config;
    config.descriptors.push_back(range);
    return config;
}

tSimDescriptor typed(RESOURCEID type, std::uint64_t base, std::uint64_t size, DWORD flags) {
    tSimDescriptor descriptor;
    descriptor.type = type;
    descriptor.base = base;
    descriptor.end = base + size - 1;
    descriptor.flags = flags;
    return descriptor;
}

constexpr std::uint64_t kMemoryBase = 0x80000000u;
constexpr std::uint64_t kPrefetchableBase = std::uint64_t{0x40} << 32;
constexpr std::uint64_t kPortMemory = 0x100000;
constexpr std::uint64_t kPortPrefetchable = 0x10000000;

// `nodes` nodes, root bridges included. Each root bridge is a segment of
// its own, in the bits of SPDRP_BUSNUMBER above the bus.
tGeneratedWindowsTree generateWindowsTree(std::size_t nodes) {
    tGeneratedWindowsTree made;
    std::vector<tSimNode>& list = made.tree.nodes;
    list.reserve(nodes);
    auto add = [&list](std::string id, std::optional<std::size_t> parent) -> tSimNode& {
        tSimNode& node = list.emplace_back();
        node.id = std::move(id);
        node.started = true;
        node.parent = parent;
        return node;
    };
    for (unsigned segment = 0; list.size() < nodes; ++segment, ++made.roots) {
        const std::size_t root = list.size();
        tSimBootConfig& rootConfig =
            add("ACPI\\PNP0A08\\" + std::to_string(segment), std::nullopt).bootConfig.emplace(busNumbers(0, 0xff));
        rootConfig.descriptors.push_back(typed(ResType_IO, 0x1000, 0xf000, 0));
        rootConfig.descriptors.push_back(typed(ResType_Mem, kMemoryBase, kPortMemory * kPortsPerRoot, 0));
        rootConfig.descriptors.push_back(
            typed(ResType_MemLarge, kPrefetchableBase, kPortPrefetchable * kPortsPerRoot, fMD_PrefetchAllowed));
        const DWORD segmentBits = static_cast<DWORD>(segment) << 8;
        for (unsigned port = 0; port < kPortsPerRoot && list.size() < nodes; ++port, ++made.slots) {
            const DWORD slot = static_cast<DWORD>(segment * 100 + port);
            const std::size_t portNode = list.size();
            tSimNode& bridge = add("PCI\\VEN_8086&DEV_2030&SUBSYS_00000000&REV_01\\3&" + std::to_string(segment) +
                                       "&0&" + std::to_string(port),
                                   root);
            bridge.busNumber = segmentBits;
            bridge.address = static_cast<DWORD>(port) << 16;
            bridge.deviceType = 8;  // a PCI Express root port
            bridge.uiNumber = slot;
            const std::uint64_t memory = kMemoryBase + port * kPortMemory;
            const std::uint64_t prefetchable = kPrefetchableBase + port * kPortPrefetchable;
            tSimBootConfig& windows = bridge.allocConfig.emplace(busNumbers(port + 1, port + 1));
            windows.descriptors.push_back(typed(ResType_Mem, memory, kPortMemory, 0));
            windows.descriptors.push_back(typed(ResType_Mem, prefetchable, kPortPrefetchable, fMD_PrefetchAllowed));
            for (unsigned function = 0; function < kFunctionsPerDevice && list.size() < nodes; ++function) {
                tSimNode& card = add("PCI\\VEN_8086&DEV_1572&SUBSYS_00000000&REV_01\\4&" + std::to_string(slot) +
                                         "&0&" + std::to_string(function),
                                     portNode);
                card.busNumber = segmentBits | (port + 1);
                card.address = function;
                card.uiNumber = slot;
                card.allocConfig.emplace();
                card.allocConfig->descriptors.push_back(typed(ResType_Mem, memory + function * 0x4000, 0x4000, 0));
                card.allocConfig->descriptors.push_back(
                    typed(ResType_Mem, prefetchable + function * 0x1000000, 0x1000000, fMD_PrefetchAllowed));
            }
        }
    }
    return made;
}

struct tSharedWindowsTree {
    explicit tSharedWindowsTree(tGeneratedWindowsTree made)
        : roots(made.roots), slots(made.slots), services(std::move(made.tree)) {
        services.keepCallLog(false);
    }
    std::size_t roots;
    std::size_t slots;
    tSimulatedDeviceTree services;
};

// Built once per size and kept for every repetition.
tSharedWindowsTree& sharedWindowsTree(std::size_t nodes) {
    static std::map<std::size_t, std::unique_ptr<tSharedWindowsTree>> trees;
    std::unique_ptr<tSharedWindowsTree>& tree = trees[nodes];
    if (!tree) {
        tree = std::make_unique<tSharedWindowsTree>(generateWindowsTree(nodes));
    }
    return *tree;
}

void windowsReaderBenchmark(benchmark::State& state, std::size_t nodes) {
    tSharedWindowsTree& shared = sharedWindowsTree(nodes);
    bool sound = true;
    {
        tEmulationScope scope(shared.services);
        for (auto _ : state) {
            tTopology topology;
            std::string failure;
            sound = readWindowsTopology(topology, failure) && sound;
            sound = sound && topology.roots.size() == shared.roots && topology.slots.size() == shared.slots &&
                    topology.problems.empty() && topology.roots.front().windows &&
                    topology.roots.front().functions.front().windows.size() == 2;
            benchmark::DoNotOptimize(topology.slots.data());
        }
    }
    if (!sound) {
        state.SkipWithError("the generated tree was not read as it was made");
        return;
    }
    const std::string leaks = shared.services.leakReport();
    if (!leaks.empty()) {
        state.SkipWithError(("the reader left the tree unclean: " + leaks).c_str());
        return;
    }
    setPerNodeCounter(state, nodes);
}

}  // namespace

void registerWindowsHeadroomBenchmarks() {
    for (const std::size_t nodes : {std::size_t{1000}, std::size_t{10000}}) {
        benchmark::RegisterBenchmark(("headroom/windows/" + std::to_string(nodes)).c_str(), windowsReaderBenchmark,
                                     nodes)
            ->Unit(benchmark::kMillisecond);
    }
}

}  // namespace nROOTSCOPE_1_0

// SPDX-License-Identifier: MIT
// rootscope-headroom's Windows reader over simulated device trees of 1,000
// and 10,000 nodes (headroom/windows/N); the whole of rootscope-headroom-sim
// --tree over the same trees as fixture files, load, read, analysis, view
// and JSON (headroom/windows-tree/N); and --capture of them
// (headroom/capture/N). The cost per node of each must not grow with the
// tree.
//
// The machine is the Linux benchmark's, as Windows shows it: each root
// bridge has 32 root ports, each port a bus of one eight-function device.
// Every function has a UI number, the port's and its card's the same, as
// Windows gives a slot's number to whatever sits in it: so every function
// is a slot to tell from the ones already kept. Each root bridge has I/O,
// 32-bit memory and 64-bit prefetchable windows in its boot configuration;
// each port, in its allocated one, its bus numbers, an I/O window (the
// first 14 ports: 4 KiB each fill the 64 KiB of ports), a 16 MiB memory
// window and a 1 GiB prefetchable one above 4 GiB; each function a 1 MiB
// memory BAR and a 128 MiB 64-bit prefetchable one inside them, and the
// first function of a port with I/O a 256-port I/O BAR.
#include <benchmark/benchmark.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "Capture.h"
#include "Fixture.h"
#include "Headroom.h"
#include "HeadroomReport.h"
#include "SimulatedDeviceTree.h"
#include "SurveyBench.h"
#include "WindowsTopologyReader.h"

#if defined(_WIN32)
#include <process.h>
#else
#include <unistd.h>
#endif

namespace nROOTSCOPE_1_0 {
namespace {

constexpr unsigned kPortsPerRoot = 32;
constexpr unsigned kFunctionsPerDevice = 8;
constexpr unsigned kPortsWithIo = 14;
constexpr std::uint64_t kMemoryBase = 0x80000000u;              // the 32-bit window of every root
constexpr std::uint64_t kPortMemory = std::uint64_t{16} << 20;  // each port's share of it
constexpr std::uint64_t kBarMemory = std::uint64_t{1} << 20;
constexpr std::uint64_t kPrefetchBase = std::uint64_t{256} << 30;  // the first root's 64-bit window
constexpr std::uint64_t kRootPrefetch = std::uint64_t{64} << 30;
constexpr std::uint64_t kPortPrefetch = std::uint64_t{1} << 30;
constexpr std::uint64_t kBarPrefetch = std::uint64_t{128} << 20;
constexpr std::uint64_t kPortIo = 0x1000;
constexpr std::uint64_t kIoBase = 0x2000;

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

tSimDescriptor range(RESOURCEID type, std::uint64_t base, std::uint64_t size, DWORD flags = 0) {
    tSimDescriptor descriptor;
    descriptor.type = type;
    descriptor.base = base;
    descriptor.end = base + size - 1;
    descriptor.flags = flags;
    return descriptor;
}

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
        const std::uint64_t rootPrefetch = kPrefetchBase + segment * kRootPrefetch;
        tSimBootConfig& rootConfig = *(add("ACPI\\PNP0A08\\" + std::to_string(segment), std::nullopt).bootConfig =
                                           busNumbers(0, 0xff));
        rootConfig.descriptors.push_back(range(ResType_IO, kIoBase, kPortsWithIo * kPortIo, fIOD_WINDOW_DECODE));
        rootConfig.descriptors.push_back(range(ResType_Mem, kMemoryBase, kPortsPerRoot * kPortMemory));
        rootConfig.descriptors.push_back(range(ResType_MemLarge, rootPrefetch, kRootPrefetch, fMD_PrefetchAllowed));
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
            bridge.barTypes = 0;  // a root port has no BAR of its own
            bridge.allocConfig = busNumbers(port + 1, port + 1);
            const bool io = port < kPortsWithIo;
            const std::uint64_t portIo = kIoBase + port * kPortIo;
            const std::uint64_t portMemory = kMemoryBase + port * kPortMemory;
            const std::uint64_t portPrefetch = rootPrefetch + port * kPortPrefetch;
            if (io) {
                bridge.allocConfig->descriptors.push_back(range(ResType_IO, portIo, kPortIo, fIOD_WINDOW_DECODE));
            }
            bridge.allocConfig->descriptors.push_back(range(ResType_Mem, portMemory, kPortMemory));
            bridge.allocConfig->descriptors.push_back(
                range(ResType_MemLarge, portPrefetch, kPortPrefetch, fMD_PrefetchAllowed));
            for (unsigned function = 0; function < kFunctionsPerDevice && list.size() < nodes; ++function) {
                tSimNode& card = add("PCI\\VEN_8086&DEV_1572&SUBSYS_00000000&REV_01\\4&" + std::to_string(slot) +
                                         "&0&" + std::to_string(function),
                                     portNode);
                card.busNumber = segmentBits | (port + 1);
                card.address = function;
                card.uiNumber = slot;
                // BAR0 memory, BAR1-2 64-bit prefetchable, BAR3 I/O.
                const bool ioBar = io && function == 0;
                card.barTypes = 0x01000100u | (ioBar ? 1u : 0u);
                card.allocConfig.emplace();
                card.allocConfig->descriptors = {
                    range(ResType_Mem, portMemory + function * kBarMemory, kBarMemory),
                    range(ResType_Mem, portPrefetch + function * kBarPrefetch, kBarPrefetch, fMD_PrefetchAllowed)};
                if (ioBar) {
                    card.allocConfig->descriptors.push_back(range(ResType_IO, portIo, 0x100, 1));
                }
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
                    topology.problems.empty();
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

// The generated tree as rootscope-headroom --capture writes it, in a file of
// this process's own, removed when the process ends.
class tFixtureFile {
public:
    explicit tFixtureFile(std::size_t nodes) {
#if defined(_WIN32)
        const int process = _getpid();
#else
        const int process = ::getpid();
#endif
        path_ = (std::filesystem::temp_directory_path() /
                 ("rootscope-bench-" + std::to_string(process) + "-" + std::to_string(nodes) + ".json"))
                    .string();
        tSimulatedDeviceTree services(generateWindowsTree(nodes).tree);
        tEmulationScope scope(services);
        tCapture capture;
        std::string reason;
        sound_ = captureDeviceTree(capture, reason) && writeFileWhole(path_, capture.fixture, reason);
        bytes_ = capture.fixture.size();
    }
    ~tFixtureFile() { std::remove(path_.c_str()); }
    tFixtureFile(const tFixtureFile&) = delete;
    tFixtureFile& operator=(const tFixtureFile&) = delete;

    const std::string& path() const { return path_; }
    bool sound() const { return sound_; }
    std::size_t bytes() const { return bytes_; }

private:
    std::string path_;
    bool sound_ = false;
    std::size_t bytes_ = 0;
};

tFixtureFile& fixtureFile(std::size_t nodes) {
    static std::map<std::size_t, std::unique_ptr<tFixtureFile>> files;
    std::unique_ptr<tFixtureFile>& file = files[nodes];
    if (!file) {
        file = std::make_unique<tFixtureFile>(nodes);
    }
    return *file;
}

// What rootscope-headroom-sim --tree FILE does, both outputs at once: load
// the fixture, read it through the seam, analyse, write the view and JSON.
void windowsTreeBenchmark(benchmark::State& state, std::size_t nodes) {
    const tFixtureFile& file = fixtureFile(nodes);
    if (!file.sound()) {
        state.SkipWithError("the generated tree could not be written as a fixture");
        return;
    }
    const tSharedWindowsTree& shared = sharedWindowsTree(nodes);
    std::string failure;
    for (auto _ : state) {
        tSimTree tree;
        if (!loadSimTree(file.path(), tree, failure)) {
            break;
        }
        tSimulatedDeviceTree services(std::move(tree));
        services.keepCallLog(false);
        tTopology topology;
        bool read = false;
        {
            tEmulationScope scope(services);
            read = readWindowsTopology(topology, failure);
        }
        if (!read || !services.leakReport().empty() || topology.roots.size() != shared.roots ||
            topology.slots.size() != shared.slots) {
            failure = read ? "the fixture was not read as it was made" : failure;
            break;
        }
        const tHeadroom headroom = analyseHeadroom(topology);
        const std::string report = headroomView(headroom, false) + headroomJson(headroom);
        benchmark::DoNotOptimize(report.data());
        failure.clear();
    }
    if (!failure.empty()) {
        state.SkipWithError(failure.c_str());
        return;
    }
    state.counters["fixture_bytes"] = static_cast<double>(file.bytes());
    setPerNodeCounter(state, nodes);
}

// rootscope-headroom --capture over the generated tree, the file write left
// out (a disk's time is no cost of the capture's).
void captureBenchmark(benchmark::State& state, std::size_t nodes) {
    tSharedWindowsTree& shared = sharedWindowsTree(nodes);
    bool sound = true;
    {
        tEmulationScope scope(shared.services);
        for (auto _ : state) {
            tCapture capture;
            std::string failure;
            sound = captureDeviceTree(capture, failure) && capture.nodes == nodes && sound;
            benchmark::DoNotOptimize(capture.fixture.data());
        }
    }
    if (!sound || !shared.services.leakReport().empty()) {
        state.SkipWithError("the generated tree was not captured whole, or not cleanly");
        return;
    }
    setPerNodeCounter(state, nodes);
}

}  // namespace

void registerWindowsHeadroomBenchmarks() {
    for (const std::size_t nodes : {std::size_t{1000}, std::size_t{10000}}) {
        const std::string size = std::to_string(nodes);
        benchmark::RegisterBenchmark(("headroom/windows/" + size).c_str(), windowsReaderBenchmark, nodes)
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark(("headroom/windows-tree/" + size).c_str(), windowsTreeBenchmark, nodes)
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark(("headroom/capture/" + size).c_str(), captureBenchmark, nodes)
            ->Unit(benchmark::kMillisecond);
    }
}

}  // namespace nROOTSCOPE_1_0

// The survey against its floor, over simulated device trees of 1,000, 10,000
// and 100,000 nodes in two shapes.
//
// The floor is what no survey can avoid: the same number of walks, each
// opening a device set, querying its detail record, enumerating every node,
// reading every instance ID and releasing the set, with nothing matched,
// visited or read beyond that. Whatever the survey costs above the floor is
// its own work. Both run over the same simulated tree, so the tree's per-call
// cost stands for the operating system's.
//
// Each benchmark reports `per_node_walk` (time per node per walk), `walks`
// and `nodes`; bench/ratio.py turns the JSON output into survey / floor
// ratios and the scaling from 1,000 to 100,000 nodes.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <utility>

#include "DevMgr.h"
#include "RootBusSurvey.h"
#include "SimulatedDeviceTree.h"
#include "WalkBenchmark.h"

namespace nROOTSCOPE_1_0 {
namespace {

enum tShape : int {
    // One started PCI Express root bridge among unrelated nodes.
    kSingleRootBridge = 0,
    // Eight started root bridges, PCI and PCI Express, plus phantom
    // root-bridge nodes and phantom unrelated nodes.
    kEightRootBridgesWithPhantoms = 1,
};

const char* shapeName(tShape shape) {
    return shape == kSingleRootBridge ? "single" : "eight_phantoms";
}

tSimDescriptor descriptor(RESOURCEID type, std::uint32_t base = 0, std::uint32_t end = 0) {
    tSimDescriptor d;
    d.type = type;
    d.base = base;
    d.end = end;
    return d;
}

// A root bridge's boot configuration as firmware lays it out: memory and I/O
// windows first, then the bus-number range.
tSimBootConfig rootBridgeConfig(std::uint32_t base, std::uint32_t end) {
    tSimBootConfig config;
    config.descriptors = {descriptor(1), descriptor(2), descriptor(1), descriptor(ResType_BusNumber, base, end)};
    return config;
}

tSimNode rootBridge(std::string id, bool started, std::uint32_t base, std::uint32_t end, bool withConfig = true) {
    tSimNode node;
    node.id = std::move(id);
    node.started = started;
    if (withConfig) {
        node.bootConfig = rootBridgeConfig(base, end);
    }
    return node;
}

// Instance IDs of the kinds a real machine is full of. Some share a long
// prefix with the root-bridge patterns ("ACPI\PNP0A05", "ACPI\PNP0C0F"), so
// matching is not decided by the first character alone.
std::string unrelatedId(std::size_t i) {
    char text[128];
    const unsigned n = static_cast<unsigned>(i);
    switch (i % 20) {
        case 0: case 1: case 2: case 3: case 4: case 5: case 6: case 7:
            std::snprintf(text, sizeof text, "PCI\\VEN_8086&DEV_%04X&SUBSYS_0A221028&REV_%02X\\3&11583659&0&%02X",
                          n & 0xFFFFu, n & 0xFFu, (n >> 3) & 0xFFu);
            break;
        case 8: case 9: case 10: case 11:
            std::snprintf(text, sizeof text, "USB\\VID_046D&PID_%04X\\5&2A1B3C4D&0&%u", n & 0xFFFFu, n % 16);
            break;
        case 12: case 13:
            std::snprintf(text, sizeof text, "HID\\VID_046D&PID_C52B&MI_00\\7&1A2B3C4D&0&%04X", n & 0xFFFFu);
            break;
        case 14: case 15:
            std::snprintf(text, sizeof text, "SWD\\MMDEVAPI\\{0.0.1.00000000}.{%08X-1c3e-4b1a-9d2f-5e6a7b8c9d0e}", n);
            break;
        case 16:
            std::snprintf(text, sizeof text, "ACPI\\PNP0C0F\\%u", n);
            break;
        case 17:
            std::snprintf(text, sizeof text, "ACPI\\PNP0A05\\%u", n);
            break;
        case 18:
            std::snprintf(text, sizeof text, "ROOT\\LEGACY_BEEP\\%04u", n % 10000);
            break;
        default:
            std::snprintf(text, sizeof text, "STORAGE\\VOLUME\\{%08X-8f2e-11ee-b9d1-0242ac120002}#0000000000100000", n);
            break;
    }
    return text;
}

tSimTree buildTree(tShape shape, std::size_t nodes) {
    tSimTree tree;
    tree.nodes.reserve(nodes);
    for (std::size_t i = 0; i < nodes; ++i) {
        tSimNode node;
        node.id = unrelatedId(i);
        // In the phantom shape every third unrelated node is not running.
        node.started = shape == kSingleRootBridge || i % 3 != 0;
        tree.nodes.push_back(std::move(node));
    }
    if (shape == kSingleRootBridge) {
        tree.nodes[nodes / 2] = rootBridge("ACPI\\PNP0A08\\0", true, 0, 0x3f);
        return tree;
    }
    // Eight started root bridges spread through the tree, each with its own
    // slice of the bus numbers, then eight phantoms, half of them without a
    // boot configuration.
    for (std::uint32_t k = 0; k < 8; ++k) {
        const std::string id = std::string(k % 2 == 0 ? "ACPI\\PNP0A08\\" : "ACPI\\PNP0A03\\") + std::to_string(k);
        tree.nodes[(2 * k + 1) * nodes / 32] = rootBridge(id, true, 32 * k, 32 * k + 31);
    }
    for (std::uint32_t k = 0; k < 8; ++k) {
        const std::string id =
            std::string(k % 2 == 0 ? "ACPI\\PNP0A03\\" : "ACPI\\PNP0A08\\") + std::to_string(100 + k);
        tree.nodes[(2 * k + 17) * nodes / 32] = rootBridge(id, false, 0, 255, k % 2 == 0);
    }
    return tree;
}

int surveyWalks(tSimulatedDeviceTree& tree, std::FILE* out) {
    tWalkCounter counter(tree);
    tScopedDeviceServices services(counter);
    runRootBusSurvey(out, nullptr);
    return counter.walks();
}

// Anything the tree saw go wrong makes the figure worthless.
bool treeIsClean(benchmark::State& state, const tSimulatedDeviceTree& tree) {
    const std::string leaks = tree.leakReport();
    if (!leaks.empty()) {
        state.SkipWithError(("the survey left the tree unclean: " + leaks).c_str());
        return false;
    }
    return true;
}

// One tree per shape and size, built once and walked by both the survey and
// its floor, as one machine serves every run. Built apart, the two would lie
// differently in memory (a tree built into the holes its predecessor left is
// scattered), and at 100,000 nodes the tree is larger than the caches: the
// difference in layout showed up as a difference between survey and floor.
tSimulatedDeviceTree& sharedTree(tShape shape, std::size_t nodes) {
    static std::map<std::pair<int, std::size_t>, std::unique_ptr<tSimulatedDeviceTree>> trees;
    auto& tree = trees[{shape, nodes}];
    if (!tree) {
        tree = std::make_unique<tSimulatedDeviceTree>(buildTree(shape, nodes));
        tree->keepCallLog(false);
    }
    return *tree;
}

// Times `iteration(sink, walks)` over the shared tree of a shape and size,
// with the tree serving the seam; `walks` is how many device sets a survey
// opens there. The figures count only when the tree ends clean.
template <typename tIteration>
void timeOverSharedTree(benchmark::State& state, tShape shape, std::size_t nodes, tIteration iteration) {
    tSimulatedDeviceTree& tree = sharedTree(shape, nodes);
    tNullSink sink;
    const int walks = surveyWalks(tree, sink.get());
    tEmulationScope scope(tree);
    std::FILE* out = sink.get();
    auto body = [&iteration, out, walks] { iteration(out, walks); };
    for (auto _ : state) {
        runAtNextStackPlacement(body);
    }
    if (treeIsClean(state, tree)) {
        setCounters(state, nodes, walks);
    }
}

void surveyBenchmark(benchmark::State& state, tShape shape, std::size_t nodes) {
    timeOverSharedTree(state, shape, nodes, [](std::FILE* out, int) {
        const int exitCode = runRootBusSurvey(out, nullptr);
        benchmark::DoNotOptimize(exitCode);
    });
}

void floorBenchmark(benchmark::State& state, tShape shape, std::size_t nodes) {
    timeOverSharedTree(state, shape, nodes, [](std::FILE*, int walks) {
        for (int walk = 0; walk < walks; ++walk) {
            bareWalk();
        }
    });
}

void noVisit(HDEVINFO, const SP_DEVINFO_DATA&, DWORD, void*, tStatusBlock&) {}

// The survey's walks alone: the same number of them, over the same two
// patterns, matching every node but visiting none. Between the floor and the
// whole survey, it tells the walk's own cost from the visitors'.
void walksBenchmark(benchmark::State& state, tShape shape, std::size_t nodes) {
    timeOverSharedTree(state, shape, nodes, [](std::FILE*, int walks) {
        tStatusBlock status = makeStatusBlock();
        for (int walk = 0; walk < walks; ++walk) {
            const char* pattern = walk % 2 == 0 ? kPciRootBridgePattern : kPciExpressRootBridgePattern;
            forEachMatchingDevice(pattern, noVisit, nullptr, status);
        }
        benchmark::DoNotOptimize(status);
    });
}

}  // namespace

void registerSimulatedTreeBenchmarks() {
    for (const tShape shape : {kSingleRootBridge, kEightRootBridgesWithPhantoms}) {
        for (const std::size_t nodes : {std::size_t{1000}, std::size_t{10000}, std::size_t{100000}}) {
            const std::string suffix = std::string("/") + shapeName(shape) + "/" + std::to_string(nodes);
            benchmark::RegisterBenchmark(("survey" + suffix).c_str(), surveyBenchmark, shape, nodes)
                ->Unit(benchmark::kMicrosecond);
            benchmark::RegisterBenchmark(("floor" + suffix).c_str(), floorBenchmark, shape, nodes)
                ->Unit(benchmark::kMicrosecond);
            benchmark::RegisterBenchmark(("walks" + suffix).c_str(), walksBenchmark, shape, nodes)
                ->Unit(benchmark::kMicrosecond);
        }
    }
}

}  // namespace nROOTSCOPE_1_0

int main(int argc, char** argv) {
    nROOTSCOPE_1_0::registerSimulatedTreeBenchmarks();
#ifndef _WIN32
    nROOTSCOPE_1_0::registerHostBenchmarks();
#endif
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}

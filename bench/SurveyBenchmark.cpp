// SPDX-License-Identifier: MIT
// The whole survey over simulated device trees of 1,000, 10,000 and 100,000
// nodes: one started PCI Express root bridge among unrelated nodes. The
// survey walks every node the same number of times whatever the tree's size,
// so its time per node should not grow with the tree. Nor should the time
// per node of loading the same trees from their fixture text (held in memory:
// reading the file is not timed).
#include <benchmark/benchmark.h>

#include <cstddef>
#include <cstdio>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <utility>

#include "Fixture.h"
#include "RootBusSurvey.h"
#include "SimulatedDeviceTree.h"
#include "SurveyBench.h"

namespace nROOTSCOPE_1_0 {
namespace {

// Instance IDs of the kinds a real machine is full of. Some share a long
// prefix with the root-bridge patterns ("ACPI\PNP0A05", "ACPI\PNP0C0F").
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

tSimDescriptor descriptor(RESOURCEID type, std::uint32_t base = 0, std::uint32_t end = 0) {
    tSimDescriptor d;
    d.type = type;
    d.base = base;
    d.end = end;
    return d;
}

// One running root bridge in the middle, with buses 0 to 3f: a limited
// range, so the survey makes all three passes (count, range, details).
tSimTree singleRootBridgeTree(std::size_t nodes) {
    tSimTree tree;
    tree.nodes.reserve(nodes);
    for (std::size_t i = 0; i < nodes; ++i) {
        tSimNode node;
        node.id = unrelatedId(i);
        node.started = true;
        tree.nodes.push_back(std::move(node));
    }
    tSimNode& bridge = tree.nodes[nodes / 2];
    bridge.id = "ACPI\\PNP0A08\\0";
    // Memory and I/O windows first, then the bus numbers, as firmware lays them out.
    bridge.bootConfig.emplace().descriptors = {descriptor(1), descriptor(2), descriptor(1),
                                               descriptor(ResType_BusNumber, 0, 0x3f)};
    return tree;
}

// Built once per size and kept for every repetition, so each one walks the
// same memory.
tSimulatedDeviceTree& sharedTree(std::size_t nodes) {
    static std::map<std::size_t, std::unique_ptr<tSimulatedDeviceTree>> trees;
    auto& tree = trees[nodes];
    if (!tree) {
        tree = std::make_unique<tSimulatedDeviceTree>(singleRootBridgeTree(nodes));
        tree->keepCallLog(false);
    }
    return *tree;
}

void surveyBenchmark(benchmark::State& state, std::size_t nodes) {
    tSimulatedDeviceTree& tree = sharedTree(nodes);
    tNullSink sink;
    {
        tEmulationScope scope(tree);
        const std::string report = surveyReport();
        if (report.find("Root bus has a limited range.") == std::string::npos ||
            report.find("Bus Number Range: [0, 3f]") == std::string::npos) {
            state.SkipWithError("the survey of the simulated tree did not give the expected report");
            return;
        }
        for (auto _ : state) {
            const int exitCode = runRootBusSurvey(sink.get(), nullptr);
            benchmark::DoNotOptimize(exitCode);
        }
    }
    const std::string leaks = tree.leakReport();
    if (!leaks.empty()) {
        state.SkipWithError(("the survey left the tree unclean: " + leaks).c_str());
        return;
    }
    setPerNodeCounter(state, nodes);
}

// The fixture of singleRootBridgeTree(nodes), with the fields that tree sets.
std::string fixtureText(std::size_t nodes) {
    nlohmann::json document = {{"nodes", nlohmann::json::array()}};
    for (const tSimNode& node : singleRootBridgeTree(nodes).nodes) {
        nlohmann::json entry = {{"id", node.id}, {"started", node.started}};
        if (node.bootConfig) {
            nlohmann::json descriptors = nlohmann::json::array();
            for (const tSimDescriptor& d : node.bootConfig->descriptors) {
                descriptors.push_back({{"type", d.type}, {"base", d.base}, {"end", d.end}});
            }
            entry["boot_config"] = {{"descriptors", std::move(descriptors)}};
        }
        document["nodes"].push_back(std::move(entry));
    }
    return document.dump(1);
}

// True when the loaded tree is the one the fixture was made from.
bool loadsAsMade(const tSimTree& loaded, std::size_t nodes) {
    const tSimTree made = singleRootBridgeTree(nodes);
    if (loaded.nodes.size() != made.nodes.size()) {
        return false;
    }
    for (std::size_t i = 0; i < made.nodes.size(); ++i) {
        const tSimNode& a = loaded.nodes[i];
        const tSimNode& b = made.nodes[i];
        if (a.id != b.id || a.started != b.started || a.bootConfig.has_value() != b.bootConfig.has_value() ||
            (a.bootConfig && a.bootConfig->descriptors.size() != b.bootConfig->descriptors.size())) {
            return false;
        }
    }
    const tSimDescriptor& range = loaded.nodes[nodes / 2].bootConfig->descriptors.back();
    return range.type == ResType_BusNumber && range.base == 0 && range.end == 0x3f;
}

void fixtureLoadBenchmark(benchmark::State& state, std::size_t nodes) {
    const std::string text = fixtureText(nodes);
    {
        tSimTree tree;
        std::string error;
        if (!parseSimTree(text, tree, error) || !loadsAsMade(tree, nodes)) {
            state.SkipWithError(("the fixture did not load as the tree it was made from: " + error).c_str());
            return;
        }
    }
    bool loaded = true;
    for (auto _ : state) {
        tSimTree tree;
        std::string error;
        loaded = parseSimTree(text, tree, error) && loaded;
        benchmark::DoNotOptimize(tree.nodes.data());
    }
    if (!loaded) {
        state.SkipWithError("the fixture failed to load in a timed run");
        return;
    }
    setPerNodeCounter(state, nodes);
}

}  // namespace
}  // namespace nROOTSCOPE_1_0

int main(int argc, char** argv) {
    for (const std::size_t nodes : {std::size_t{1000}, std::size_t{10000}, std::size_t{100000}}) {
        benchmark::RegisterBenchmark(("survey/single/" + std::to_string(nodes)).c_str(),
                                     nROOTSCOPE_1_0::surveyBenchmark, nodes)
            ->Unit(benchmark::kMicrosecond);
    }
    for (const std::size_t nodes : {std::size_t{1000}, std::size_t{10000}, std::size_t{100000}}) {
        benchmark::RegisterBenchmark(("fixture/load/" + std::to_string(nodes)).c_str(),
                                     nROOTSCOPE_1_0::fixtureLoadBenchmark, nodes)
            ->Unit(benchmark::kMicrosecond);
    }
    nROOTSCOPE_1_0::registerWindowsHeadroomBenchmarks();
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

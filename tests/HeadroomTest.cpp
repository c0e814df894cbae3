// SPDX-License-Identifier: MIT
// The headroom analysis as a table of small topologies, the two programs'
// agreement on every sysroot golden, and what the views say where the
// goldens cannot reach.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "FaultyOpens.h"
#include "Headroom.h"
#include "HeadroomReport.h"
#include "LinuxHostReader.h"
#include "LinuxTopologyReader.h"
#include "OpenDescriptors.h"

namespace nROOTSCOPE_1_0 {
namespace {

tPciFunction function(std::uint32_t bus, std::uint32_t device, std::optional<tPciAddress> parent = std::nullopt) {
    tPciFunction f;
    f.address = {0, bus, device, 0};
    f.parent = parent;
    return f;
}

tPciFunction bridge(std::uint32_t bus, std::uint32_t device, std::optional<std::uint32_t> secondary,
                    std::optional<std::uint32_t> subordinate, std::optional<tPciAddress> parent = std::nullopt) {
    tPciFunction f = function(bus, device, parent);
    f.bridge = true;
    f.secondary = secondary;
    f.subordinate = subordinate;
    return f;
}

tTopology oneRoot(std::optional<tBusRange> range, std::vector<tPciFunction> functions) {
    tTopology topology;
    topology.roots.push_back({0, 0, range, std::move(functions), {}});
    return topology;
}

// "claimed/buses/reserved free@run-start outside problems"
std::string summary(const tRootBusHeadroom& r) {
    return std::to_string(r.claimed) + "/" + std::to_string(r.buses) + "/" + std::to_string(r.reserved) + " " +
           (r.free ? std::to_string(*r.free) + "@" + std::to_string(*r.largestFreeRun) + "-" +
                         std::to_string(r.largestFreeRunStart)
                   : "?") +
           " " + std::to_string(r.outsideRange) + " " + std::to_string(r.problems.size());
}

struct tCase {
    const char* what;
    tTopology topology;
    std::string expected;
};

TEST(Headroom, CountsEachRootBusFromItsWindowsAndFunctions) {
    const tBusRange to3f{0, 0x3f, tRangeOrigin::kKernelLog};
    const tBusRange toff{0, 0xff, tRangeOrigin::kEcam};
    const tPciAddress port{0, 0, 0x1c, 0};
    tPciFunction virtualFunction = function(2, 0, port);
    virtualFunction.virtualFunction = true;
    const tCase cases[] = {
        {"a root bus alone", oneRoot(to3f, {}), "1/1/0 63@63-1 0 0"},
        {"an empty port padded for hot-plug", oneRoot(toff, {bridge(0, 0x1c, 1, 16)}), "17/2/15 239@239-17 0 0"},
        {"a switch below a port", oneRoot(to3f, {bridge(0, 0x1c, 1, 4), bridge(1, 0, 2, 4, port),
                                                 bridge(2, 0, 3, 3, tPciAddress{0, 1, 0, 0}), function(3, 0)}),
         "5/4/1 59@59-5 0 0"},
        {"windows that cannot be", oneRoot(to3f, {bridge(0, 1, 0, 0), bridge(0, 2, 5, 4), bridge(0, 3, std::nullopt, 4),
                                                 bridge(0, 4, 3, std::nullopt)}),
         "1/1/0 63@63-1 0 4"},
        {"no range", oneRoot(std::nullopt, {bridge(0, 0x1c, 1, 2)}), "3/2/1 ? 0 0"},
        {"a window past the range's end", oneRoot(tBusRange{0, 3, tRangeOrigin::kKernelLog}, {bridge(0, 0x1c, 2, 5)}),
         "5/2/3 1@1-1 2 1"},
        {"the longest run, not the first", oneRoot(to3f, {bridge(0, 1, 2, 2), bridge(0, 2, 8, 8)}), "3/3/0 61@55-9 0 0"},
        {"a virtual bus beside its physical function's", oneRoot(to3f, {bridge(0, 0x1c, 1, 2), function(1, 0, port),
                                                                       virtualFunction}),
         "3/3/0 61@61-3 0 0"},
        {"a bus no bridge leads to", oneRoot(to3f, {function(7, 0), function(7, 1)}), "2/2/0 62@56-8 0 1"},
        {"a window outside its parent's, and siblings that overlap",
         oneRoot(to3f, {bridge(0, 0x1c, 1, 3), bridge(1, 0, 4, 4, port), bridge(0, 0x1d, 3, 3)}),
         "5/4/1 59@59-5 0 2"},
    };
    for (const tCase& c : cases) {
        const tHeadroom headroom = analyseHeadroom(c.topology);
        ASSERT_EQ(headroom.roots.size(), 1u) << c.what;
        EXPECT_EQ(summary(headroom.roots[0]), c.expected) << c.what;
    }
}

TEST(Headroom, PlacesSlotsOnTheirRootBusesWithTheirPorts) {
    tTopology topology;
    topology.roots.push_back({1, 0x80, tBusRange{0x80, 0xff, tRangeOrigin::kKernelLog},
                              {bridge(0x80, 2, 0x81, 0x83), function(0x81, 0)}, {}});
    topology.roots.back().functions[0].address.domain = 1;
    topology.roots.back().functions[1].address.domain = 1;
    topology.roots.push_back({0, 0, tBusRange{0, 0x7f, tRangeOrigin::kKernelLog}, {}, {}});
    topology.slots = {{"9", 1, 0x81, std::nullopt, true, std::nullopt, std::nullopt},
                      {"10", 1, 0x90, std::nullopt, false, std::nullopt, std::nullopt},
                      {"2", 0, 0x00, std::nullopt, false, std::nullopt, std::nullopt},
                      {"x", 3, 0, std::nullopt, true, std::nullopt, std::nullopt}};
    const tHeadroom headroom = analyseHeadroom(topology);
    ASSERT_EQ(headroom.roots.size(), 2u);
    EXPECT_EQ(headroom.roots[0].segment, 0u);  // (segment, bus) order
    ASSERT_EQ(headroom.roots[0].slots.size(), 1u);
    EXPECT_EQ(headroom.roots[0].slots[0].name, "2");
    EXPECT_FALSE(headroom.roots[0].slots[0].port.has_value());
    const std::vector<tSlotHeadroom>& slots = headroom.roots[1].slots;
    ASSERT_EQ(slots.size(), 2u);
    EXPECT_EQ(slots[0].name, "10");  // name order
    EXPECT_FALSE(slots[0].port.has_value());
    EXPECT_FALSE(slots[0].window.has_value());
    EXPECT_EQ(slots[1].name, "9");
    ASSERT_TRUE(slots[1].port.has_value());
    EXPECT_EQ(formatPciAddress(*slots[1].port), "0001:80:02.0");
    EXPECT_EQ(slots[1].window, 3u);
    EXPECT_TRUE(slots[1].occupied);
    ASSERT_EQ(headroom.unplacedSlots.size(), 1u);
    EXPECT_EQ(headroom.unplacedSlots[0].name, "x");
}

// Every sysroot golden, hostile ones included, read by both programs: where
// rootscope reads a range for a root bus, rootscope-headroom reads the same.
TEST(Headroom, AgreesWithRootscopeOnEveryRangeOfEverySysroot) {
    int compared = 0;
    for (const auto& entry : std::filesystem::directory_iterator(ROOTSCOPE_SYSROOTS_DIR)) {
        if (!entry.is_directory()) {
            continue;
        }
        const std::string root = entry.path().string();
        tDeviceTable table;
        tReadFailure failure;
        const bool surveyed = readLinuxDeviceTable(root, table, failure);
        tTopology topology;
        EXPECT_EQ(readLinuxTopology(root, topology, failure), surveyed) << root << ": " << failure.describe();
        if (!surveyed) {
            continue;
        }
        tSysroot sysroot(root);
        ASSERT_TRUE(sysroot.open(failure));
        std::vector<tAcpiHostBridge> bridges;
        tDeviceTable nodes;
        ASSERT_TRUE(readAcpiNodes(sysroot, nodes, bridges, failure));
        std::map<std::pair<std::uint32_t, std::uint32_t>, std::optional<tBusRange>> ranges;
        for (const tTopologyRoot& r : topology.roots) {
            ranges[{r.segment, r.bus}] = r.range;
        }
        for (const tAcpiHostBridge& bridge : bridges) {
            const auto found = ranges.find({bridge.bus.domain, bridge.bus.bus});
            ASSERT_NE(found, ranges.end()) << root << ": headroom has no root bus " << bridge.bus.bus;
            const std::vector<tDeviceDescriptor>& config = *table[bridge.node].bootConfig;
            ASSERT_EQ(found->second.has_value(), !config.empty()) << root;
            if (found->second) {
                EXPECT_EQ(found->second->first, config[0].base) << root;
                EXPECT_EQ(found->second->last, config[0].end) << root;
                ++compared;
            }
        }
    }
    EXPECT_GE(compared, 20);
}

// The view with its lines joined again, so that a phrase is found wherever
// the wrapping broke it.
std::string flatView(const tTopology& topology, bool kernelLogClosed) {
    std::string view = headroomView(analyseHeadroom(topology), kernelLogClosed);
    std::string flat;
    for (std::size_t i = 0; i < view.size(); ++i) {
        if (view[i] == '\n') {
            while (i + 1 < view.size() && view[i + 1] == ' ') {
                ++i;
            }
            flat += ' ';
        } else {
            flat += view[i];
        }
    }
    return flat;
}

// Each open of the reading fails in turn: each time the machine cannot be
// read, the failure names a file under the root and the error, and nothing
// opened is left open; never a partial topology taken as whole.
TEST(LinuxTopologyReader, FailsWhenAnyOneFileFailsToOpenAndNamesIt) {
    const std::string root = std::string(ROOTSCOPE_HEADROOM_DIR) + "/laptop_thunderbolt";
    const int opens = failEachOpenInTurn(
        [&](tReadFailure& failure) {
            tTopology topology;
            return readLinuxTopology(root, topology, failure);
        },
        [&](const std::string& path) { return path.starts_with(root + "/"); });
    EXPECT_GT(opens, 40);
}

// A kernel log closed to the user (EACCES, as kernel.dmesg_restrict gives
// it) is no failure: the ranges come from the ECAM window, and the view
// says that root would see the firmware's own.
TEST(LinuxTopologyReader, TakesAKernelLogClosedToTheUserForTheEcamWindow) {
    tFaultyOpens faults;
    faults.failPath = "dev/kmsg";
    faults.error = EACCES;
    tFaultyOpensScope scope(faults);
    tTopology topology;
    tReadFailure failure;
    ASSERT_TRUE(readLinuxTopology(std::string(ROOTSCOPE_HEADROOM_DIR) + "/laptop_thunderbolt", topology, failure))
        << failure.describe();
    EXPECT_TRUE(topology.kernelLogClosed);
    ASSERT_EQ(topology.roots.size(), 1u);
    ASSERT_TRUE(topology.roots[0].range);
    EXPECT_EQ(topology.roots[0].range->origin, tRangeOrigin::kEcam);
    EXPECT_NE(flatView(topology, topology.kernelLogClosed).find("closed to this user. Run as root"),
              std::string::npos);
}

TEST(HeadroomReport, SaysWhereARangeComesFromAndWhatIsOnlyABound) {
    tTopology topology = oneRoot(tBusRange{0, 0xff, tRangeOrigin::kEcam}, {bridge(0, 0x1c, 1, 2)});
    EXPECT_NE(flatView(topology, true).find("the ECAM window, since the kernel log is closed to this user. Run as "
                                            "root for the firmware's own range"),
              std::string::npos);
    EXPECT_NE(flatView(topology, false).find("the ECAM window; the kernel log names no range for this root bus"),
              std::string::npos);
    topology.exact = false;
    const std::string view = flatView(topology, false);
    EXPECT_NE(view.find("At least 3 bus numbers claimed: at least 2 buses"), std::string::npos) << view;
    EXPECT_NE(view.find("At most 253 free, the longest run at most 253"), std::string::npos) << view;
}

TEST(HeadroomReport, KeepsTheJsonValidWhateverANameHolds) {
    tTopology topology = oneRoot(std::nullopt, {});
    topology.slots = {{"a\"b\\c\n\x01\x7f\xc3\xa9\xff\xe2\x82", 0, 0, std::nullopt, true, std::nullopt, std::nullopt}};
    const std::string json = headroomJson(analyseHeadroom(topology));
    EXPECT_NE(json.find(R"("name": "a\"b\\c\u000a\u0001\u007f)" "\xc3\xa9" R"(\ufffd\ufffd\ufffd")"),
              std::string::npos)
        << json;
    EXPECT_NE(json.find(R"("range": null)"), std::string::npos);
    EXPECT_NE(json.find(R"("free": null)"), std::string::npos);
}

}  // namespace
}  // namespace nROOTSCOPE_1_0

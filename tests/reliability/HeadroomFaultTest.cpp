// SPDX-License-Identifier: MIT
// Every call rootscope-headroom's Windows reader makes, made to fail in turn
// with every failure that call can report: the reading either fails and
// says what, or succeeds with what it could read; nothing is ever left
// held, and no failure passes as a sound answer. And the bounds it gives are
// never beaten by the exact numbers of the same machine read on Linux.
#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "Fixture.h"
#include "Headroom.h"
#include "HeadroomReport.h"
#include "LinuxTopologyReader.h"
#include "SimulatedDeviceTree.h"
#include "WindowsTopologyReader.h"

namespace nROOTSCOPE_1_0 {
namespace {

tSimTree headroomTree(const std::string& name) {
    tSimTree tree;
    std::string error;
    EXPECT_TRUE(loadSimTree(std::string(ROOTSCOPE_HEADROOM_TREES) + "/" + name + ".json", tree, error)) << error;
    return tree;
}

tSimTree laptop() {
    return headroomTree("laptop_thunderbolt");
}

struct tRead {
    bool read = false;
    tTopology topology;
    std::string failure;
    std::string leaks;
    std::vector<tSimCallRecord> log;
};

tRead readTree(const tSimTree& tree, std::uint64_t failAt = 0, CONFIGRET result = CR_FAILURE) {
    tSimulatedDeviceTree services(tree);
    if (failAt != 0) {
        services.failCall(failAt, result);
    }
    tRead run;
    {
        tEmulationScope scope(services);
        run.read = readWindowsTopology(run.topology, run.failure);
    }
    run.leaks = services.leakReport();
    run.log = services.callLog();
    return run;
}

// A failure the reading cannot go past: the set, or the walk of the tree.
bool endsTheReading(const tSimCallRecord& record) {
    switch (record.call) {
        case tSimCall::OpenSet:
        case tSimCall::EnumerateSet:
            return record.result != CR_SUCCESS && record.result != static_cast<CONFIGRET>(ERROR_NO_MORE_ITEMS);
        case tSimCall::GetChild:
        case tSimCall::GetSibling:
            return record.result != CR_SUCCESS && record.result != CR_NO_SUCH_DEVNODE;
        default:
            return false;
    }
}

// What the reading says of memory and I/O: every BAR and window, whether
// each window is exact, and the root buses' windows.
std::string addressFacts(const tTopology& topology) {
    std::string facts;
    const auto window = [&](const tWindow& w) {
        facts += " " + std::to_string(static_cast<int>(w.kind)) + ":" + std::to_string(w.first) + "-" +
                 std::to_string(w.last) + (w.exact ? "" : "~");
    };
    for (const tTopologyRoot& root : topology.roots) {
        facts += "\nroot " + root.name + (root.windows ? "" : " unknown");
        for (const tWindow& w : root.windows.value_or(std::vector<tWindow>{})) {
            window(w);
        }
        for (const tPciFunction& function : root.functions) {
            facts += "\n" + formatPciAddress(function.address);
            for (const tBar& bar : function.bars) {
                facts += " " + bar.name + ":" + std::to_string(bar.first) + "-" + std::to_string(bar.last);
            }
            for (const tWindow& w : function.windows) {
                window(w);
            }
        }
    }
    return facts;
}

// Over the laptop and over a machine with stopped functions, HackFlags,
// BarTypes and memory and I/O descriptors everywhere.
TEST(HeadroomFaults, EveryCallOfTheWindowsReaderFailedInTurn) {
    for (const char* name : {"laptop_thunderbolt", "hack_flags_set"}) {
        const tSimTree tree = headroomTree(name);
        const tRead clean = readTree(tree);
        ASSERT_TRUE(clean.read) << name << ": " << clean.failure;
        ASSERT_EQ(clean.leaks, "") << name;
        ASSERT_TRUE(clean.topology.problems.empty()) << name;
        const std::string cleanFacts = addressFacts(clean.topology);
        std::set<tSimCall> kinds;
        for (std::uint64_t call = 1; call <= clean.log.size(); ++call) {
            const tSimCall kind = clean.log[call - 1].call;
            kinds.insert(kind);
            // For each kind, a failure it may report and one nobody expects.
            std::vector<CONFIGRET> failures = {CR_FAILURE};
            if (kind == tSimCall::GetChild || kind == tSimCall::GetSibling) {
                failures.push_back(CR_NO_SUCH_DEVNODE);
            } else if (kind == tSimCall::RegistryProperty) {
                failures.push_back(static_cast<CONFIGRET>(ERROR_INVALID_DATA));
            } else if (kind == tSimCall::DeviceProperty) {
                failures.push_back(static_cast<CONFIGRET>(ERROR_NOT_FOUND));
            } else if (kind == tSimCall::RegistryValue) {
                failures.push_back(static_cast<CONFIGRET>(ERROR_FILE_NOT_FOUND));
            }
            for (const CONFIGRET failure : failures) {
                const tRead run = readTree(tree, call, failure);
                const std::string where = std::string(name) + ": call " + std::to_string(call) + " (" +
                                          simCallName(kind) + ") failing with " + std::to_string(failure);
                EXPECT_EQ(run.leaks, "") << where;
                bool ends = false;
                for (const tSimCallRecord& record : run.log) {
                    ends = ends || (record.injected && endsTheReading(record));
                }
                EXPECT_EQ(run.read, !ends) << where << ": " << run.failure;
                if (!run.read) {
                    EXPECT_TRUE(run.failure.starts_with("the device database: ")) << where << ": " << run.failure;
                    continue;
                }
                // Read: the answer may lose what failed, but an unexpected
                // failure must be said, and a "no such" one changes nothing
                // beyond what it says.
                const bool expectedKind = failure != CR_FAILURE;
                const bool lost = kind == tSimCall::ReadId || kind == tSimCall::QueryStatus ||
                                  kind == tSimCall::RegistryProperty || kind == tSimCall::DeviceProperty ||
                                  kind == tSimCall::RegistryValue || kind == tSimCall::FirstLogConf ||
                                  kind == tSimCall::NextResDes || kind == tSimCall::Allocate;
                if (!expectedKind && lost && kind != tSimCall::QueryStatus) {
                    EXPECT_FALSE(run.topology.problems.empty()) << where;
                }
                // A descriptor that could not be read never passes as memory
                // or I/O read: what it changed is said.
                if ((kind == tSimCall::ResDesDataSize || kind == tSimCall::ResDesData) &&
                    addressFacts(run.topology) != cleanFacts) {
                    EXPECT_FALSE(run.topology.problems.empty()) << where;
                }
                // And the analysis and both views take whatever was read.
                const tHeadroom headroom = analyseHeadroom(run.topology);
                EXPECT_FALSE(headroomView(headroom, false).empty()) << where;
                EXPECT_FALSE(headroomJson(headroom).empty()) << where;
            }
        }
        for (const tSimCall kind : {tSimCall::GetChild, tSimCall::GetSibling, tSimCall::RegistryProperty,
                                    tSimCall::DeviceProperty, tSimCall::FirstLogConf, tSimCall::QueryStatus,
                                    tSimCall::ResDesDataSize, tSimCall::ResDesData, tSimCall::RegistryValue}) {
            EXPECT_TRUE(kinds.count(kind) == 1) << name << ": " << simCallName(kind) << " never called";
        }
    }
}

// Two root buses that both come out as 0000:00, each with a slot 1 driven
// by a port 00:1c.0, after a root bridge that is left out: each slot names
// the root it was found under by its index among the roots kept, and each
// root names its root bridge.
TEST(HeadroomFaults, EachSlotKeepsTheRootItWasFoundUnder) {
    const tRead run = readTree(headroomTree("two_roots_one_address"));
    ASSERT_TRUE(run.read) << run.failure;
    ASSERT_EQ(run.topology.roots.size(), 2u);
    EXPECT_EQ(run.topology.roots[0].name, "ACPI\\PNP0A08\\0");
    EXPECT_EQ(run.topology.roots[1].name, "ACPI\\PNP0A08\\1");
    const tPciAddress port{0, 0, 0x1c, 0};
    struct tExpected {
        std::size_t root;
        bool occupied;  // a function of that root sits below the port
    };
    const std::vector<tExpected> expected = {{0, false}, {1, true}};
    ASSERT_EQ(run.topology.slots.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        const tPciSlot& slot = run.topology.slots[i];
        EXPECT_EQ(slot.name, "1");
        EXPECT_EQ(slot.port, port);
        ASSERT_EQ(slot.root, expected[i].root) << "slot " << i;
        bool occupied = false;
        for (const tPciFunction& function : run.topology.roots[*slot.root].functions) {
            occupied = occupied || function.parent == port;
        }
        EXPECT_EQ(occupied, expected[i].occupied) << "slot " << i;
    }
}

// One window as both readers must give it.
std::string windowFacts(const tWindowHeadroom& w) {
    return std::to_string(static_cast<int>(w.window.kind)) + " " + std::to_string(w.window.first) + "-" +
           std::to_string(w.window.last) + " used " + std::to_string(w.used) + " free " + std::to_string(w.free) +
           " largest " + std::to_string(w.largestBlock) + " reserved " + std::to_string(w.reserved) +
           (w.window.exact ? "" : " bound");
}

std::vector<std::string> windowFacts(const std::vector<tWindowHeadroom>& windows) {
    std::vector<std::string> facts;
    for (const tWindowHeadroom& w : windows) {
        facts.push_back(windowFacts(w));
    }
    return facts;
}

// The same laptop read on Linux (exact) and on Windows: the bus-number
// bounds must hold, and memory and I/O, which Windows shows, must be the
// same to the byte, for the root bus and every bridge.
// The laptop as a Windows that sets no window, BAR or prefetchable flag and
// gives no BarTypes shows it: its bridges' windows are then told from their
// BARs by what they hold, and their kinds by where they lie.
tSimTree withoutFlags(tSimTree tree) {
    for (tSimNode& node : tree.nodes) {
        node.barTypes.reset();
        for (auto* config : {&node.bootConfig, &node.allocConfig}) {
            if (*config) {
                for (tSimDescriptor& descriptor : (*config)->descriptors) {
                    descriptor.flags = 0;
                }
            }
        }
    }
    return tree;
}

class HeadroomAgainstLinux : public ::testing::TestWithParam<bool> {};

INSTANTIATE_TEST_SUITE_P(Laptop, HeadroomAgainstLinux, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& param) {
                             return param.param ? "WithoutFlags" : "AsListed";
                         });

TEST_P(HeadroomAgainstLinux, WindowsBoundsHoldAgainstTheExactLinuxNumbers) {
    tTopology linux;
    tReadFailure failure;
    ASSERT_TRUE(readLinuxTopology(std::string(ROOTSCOPE_HEADROOM_DIR) + "/laptop_thunderbolt", linux, failure))
        << failure.describe();
    const tSimTree tree = GetParam() ? withoutFlags(laptop()) : laptop();
    const tRead windows = readTree(tree);
    ASSERT_TRUE(windows.read) << windows.failure;
    const tHeadroom exact = analyseHeadroom(linux);
    const tHeadroom bounds = analyseHeadroom(windows.topology);
    ASSERT_EQ(exact.roots.size(), bounds.roots.size());
    for (std::size_t i = 0; i < exact.roots.size(); ++i) {
        const tRootBusHeadroom& e = exact.roots[i];
        const tRootBusHeadroom& b = bounds.roots[i];
        EXPECT_TRUE(e.exact);
        EXPECT_FALSE(b.exact);
        ASSERT_TRUE(e.range && b.range);
        EXPECT_EQ(std::pair(e.range->first, e.range->last), std::pair(b.range->first, b.range->last));
        EXPECT_LE(b.buses, e.buses);
        EXPECT_LE(b.claimed, e.claimed);
        ASSERT_TRUE(e.free && b.free);
        EXPECT_GE(*b.free, *e.free);
        // At least every bus a device of the fixture sits on.
        std::set<DWORD> deviceBuses;
        for (const tSimNode& node : tree.nodes) {
            if (node.busNumber && node.id.starts_with("PCI\\")) {
                deviceBuses.insert(*node.busNumber & 0xffu);
            }
        }
        EXPECT_GE(b.buses, deviceBuses.size());

        ASSERT_TRUE(e.windows && b.windows);
        EXPECT_EQ(windowFacts(*e.windows), windowFacts(*b.windows));
        ASSERT_TRUE(e.memory && b.memory);
        for (const auto& [linuxTotal, windowsTotal] :
             {std::pair(e.memory->below4g, b.memory->below4g), std::pair(e.memory->above4g, b.memory->above4g),
              std::pair(e.memory->io, b.memory->io)}) {
            EXPECT_EQ(std::tuple(linuxTotal.size, linuxTotal.used, linuxTotal.free, linuxTotal.largestBlock),
                      std::tuple(windowsTotal.size, windowsTotal.used, windowsTotal.free, windowsTotal.largestBlock));
        }
        // Every bridge, whether Windows shows its bus numbers or not.
        std::map<tPciAddress, std::vector<std::string>> windowsBridges;
        for (const tBridgeWindow& bridge : b.bridges) {
            windowsBridges[bridge.address] = windowFacts(bridge.windows);
        }
        for (const tRootBusHeadroom::tHiddenPort& port : b.hiddenPorts) {
            windowsBridges[port.address] = windowFacts(port.windows);
        }
        ASSERT_EQ(windowsBridges.size(), e.bridges.size());
        for (const tBridgeWindow& bridge : e.bridges) {
            const auto found = windowsBridges.find(bridge.address);
            ASSERT_NE(found, windowsBridges.end()) << formatPciAddress(bridge.address);
            EXPECT_EQ(windowFacts(bridge.windows), found->second) << formatPciAddress(bridge.address);
        }
    }
}

}  // namespace
}  // namespace nROOTSCOPE_1_0

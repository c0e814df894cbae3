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
#include <utility>
#include <vector>

#include "Fixture.h"
#include "Headroom.h"
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

// A failure the reading cannot go past: the set, the walk, a configuration.
bool endsTheReading(const tSimCallRecord& record) {
    switch (record.call) {
        case tSimCall::OpenSet:
        case tSimCall::EnumerateSet:
            return record.result != CR_SUCCESS && record.result != static_cast<CONFIGRET>(ERROR_NO_MORE_ITEMS);
        case tSimCall::GetChild:
        case tSimCall::GetSibling:
            return record.result != CR_SUCCESS && record.result != CR_NO_SUCH_DEVNODE;
        case tSimCall::FirstLogConf:
            return record.result != CR_SUCCESS && record.result != CR_NO_MORE_LOG_CONF;
        case tSimCall::NextResDes:
            return record.result != CR_SUCCESS && record.result != CR_NO_MORE_RES_DES;
        case tSimCall::Allocate:
            return record.result != CR_SUCCESS;
        default:
            return false;
    }
}

TEST(HeadroomFaults, EveryCallOfTheWindowsReaderFailedInTurn) {
    const tSimTree tree = laptop();
    const tRead clean = readTree(tree);
    ASSERT_TRUE(clean.read) << clean.failure;
    ASSERT_EQ(clean.leaks, "");
    ASSERT_TRUE(clean.topology.problems.empty());
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
        }
        for (const CONFIGRET failure : failures) {
            const tRead run = readTree(tree, call, failure);
            const std::string where = "call " + std::to_string(call) + " (" + simCallName(kind) + ") failing with " +
                                      std::to_string(failure);
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
                              kind == tSimCall::RegistryProperty || kind == tSimCall::DeviceProperty;
            if (!expectedKind && lost && kind != tSimCall::QueryStatus) {
                EXPECT_FALSE(run.topology.problems.empty()) << where;
            }
        }
    }
    for (const tSimCall kind : {tSimCall::GetChild, tSimCall::GetSibling, tSimCall::RegistryProperty,
                                tSimCall::DeviceProperty, tSimCall::FirstLogConf}) {
        EXPECT_TRUE(kinds.count(kind) == 1) << simCallName(kind) << " never called";
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

// The same laptop read on Linux (exact) and on Windows (bounds): the bounds
// must hold.
TEST(HeadroomFaults, WindowsBoundsHoldAgainstTheExactLinuxNumbers) {
    tTopology linux;
    tReadFailure failure;
    ASSERT_TRUE(readLinuxTopology(std::string(ROOTSCOPE_HEADROOM_DIR) + "/laptop_thunderbolt", linux, failure))
        << failure.describe();
    const tSimTree tree = laptop();
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
    }
}

}  // namespace
}  // namespace nROOTSCOPE_1_0

// SPDX-License-Identifier: MIT
// rootscope-headroom's capture: what it keeps of an ID, how it quotes, what
// it records of the reader's run and in which order, that whichever call
// fails it replays to what the reader read with no handle held, and that a
// file is written whole or not at all. The round trip
// over every Windows tree golden is tests/golden/CaptureRoundTrip.cmake.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "Capture.h"
#include "Fixture.h"
#include "Headroom.h"
#include "HeadroomReport.h"
#include "SimTrees.h"
#include "WindowsTopologyReader.h"

namespace nROOTSCOPE_1_0 {
namespace {

TEST(CaptureTest, KeepsLocationsAndReplacesWhatMayBeASerialNumber) {
    const struct {
        const char* id;
        const char* kept;
    } cases[] = {
        {"PCI\\VEN_8086&DEV_A7B8&SUBSYS_00000000&REV_01\\3&11583659&0&E0",
         "PCI\\VEN_8086&DEV_A7B8&SUBSYS_00000000&REV_01\\3&11583659&0&E0"},
        {"ACPI\\PNP0A08\\0", "ACPI\\PNP0A08\\0"},
        // A serial number: one field longer than eight digits, or not hex.
        {"PCI\\VEN_10DE&DEV_2204\\4C0580CB3A6F2B1C00", "PCI\\VEN_10DE&DEV_2204\\0&00000000&0&1F"},
        {"PCI\\VEN_10DE&DEV_2204\\3&SERIAL&0&00", "PCI\\VEN_10DE&DEV_2204\\0&00000000&0&1F"},
        {"PCI\\VEN_10DE&DEV_2204\\3&&0", "PCI\\VEN_10DE&DEV_2204\\0&00000000&0&1F"},
        {"PCI\\VEN_10DE&DEV_2204\\", "PCI\\VEN_10DE&DEV_2204\\0&00000000&0&1F"},
        // No character Windows would not put in an ID survives.
        {"PCI\\VEN 1\n\\0", "PCI\\VEN_1_\\0"},
        {"NOSEPARATOR", "CAPTURED\\NODE\\31"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(capturedInstanceId(c.id, 31), c.kept) << c.id;
    }
    // A long head is cut so that the ID still fits the 200 bytes it is read in.
    const std::string longId = "PCI\\" + std::string(190, 'V') + "\\SERIAL";
    const std::string kept = capturedInstanceId(longId, 31);
    EXPECT_EQ(kept.size(), 199u);
    EXPECT_EQ(kept.substr(kept.size() - 16), "\\0&00000000&0&1F");
}

tSimDescriptor descriptor(RESOURCEID type, std::uint64_t base, std::uint64_t end, DWORD flags = 0) {
    tSimDescriptor made;
    made.type = type;
    made.base = base;
    made.end = end;
    made.flags = flags;
    return made;
}

// A root bridge with a PCI bridge below it and functions below that, one
// through a node that is neither, each with a read that fails without
// ending the reading; a member of the set outside the tree.
tSimTree failingTree() {
    tSimTree tree;
    tree.hackFlags.value = 0x400;
    tSimNode root = bridge("ACPI\\PNP0A08\\1", true, {busNumbers(0, 0x3f)});
    root.bootConfig->descriptors.push_back(descriptor(ResType_IO, 0, 0xcf7));
    root.allocConfig.emplace();  // not read: the boot configuration has windows
    root.allocConfig->descriptors = {descriptor(ResType_Mem, 0xc0000000, 0xcfffffff)};
    tSimNode port = simNode("PCI\\VEN_8086&DEV_A7B8\\3&11583659&0&E0");
    port.parent = 0;
    port.busNumber = 0;
    port.address = 0x1c0000;
    port.deviceType = 8;
    port.barTypes = 0x0100;
    port.bootConfig.emplace();  // not read: the allocated one has bus numbers
    port.bootConfig->descriptors = {busNumbers(1, 4)};
    port.allocConfig.emplace();
    port.allocConfig->descriptors = {busNumbers(1, 4), descriptor(ResType_IRQ, 0, 0),
                                     descriptor(ResType_MemLarge, 0x4000000000, 0x40ffffffff, fMD_PrefetchAllowed),
                                     descriptor(ResType_Mem, 0xd0000000, 0xd00fffff), descriptor(ResType_IO, 0, 0)};
    port.allocConfig->descriptors[3].size = 12;  // shorter than its header: never read
    port.allocConfig->descriptors[4].sizeResult = CR_FAILURE;
    tSimNode hub = simNode("USB\\ROOT_HUB30\\4&2A1B&0&0");
    hub.parent = 1;
    tSimNode card = simNode("PCI\\VEN_10DE&DEV_2204\\SERIAL0042");
    card.parent = 2;
    card.busNumber = 1;
    card.address = 0;
    card.problem = CM_PROB_NORMAL_CONFLICT;
    card.allocConfig.emplace();
    card.allocConfig->descriptors = {descriptor(ResType_Mem, 0xa0000, 0xbffff)};
    card.allocConfig->descriptors[0].dataResult = CR_ACCESS_DENIED;
    tSimNode lost = simNode("PCI\\VEN_1234&DEV_0001\\4&1&0&08");
    lost.parent = 1;
    lost.statusResult = CR_FAILURE;
    tSimNode nameless = simNode("PCI\\VEN_1234&DEV_0002\\4&1&0&10");
    nameless.parent = 1;
    nameless.idResult = CR_INVALID_DEVNODE;
    tree.nodes = {root, port, hub, card, lost, nameless, simNode("ACPI\\PNP0A03\\0", false),
                  simNode("ROOT\\SYSTEM\\0000")};
    tree.nodes[6].idResult = CR_FAILURE;
    tree.failCalls = {{tSimCall::DeviceProperty, 1, ERROR_GEN_FAILURE}};
    return tree;
}

TEST(CaptureTest, RecordsWhatTheReaderReadAndNothingElse) {
    tSimulatedDeviceTree services(failingTree());
    tCapture capture;
    std::string failure;
    {
        tEmulationScope scope(services);
        ASSERT_TRUE(captureDeviceTree(capture, failure)) << failure;
    }
    EXPECT_EQ(services.leakReport(), "");
    EXPECT_EQ(capture.roots, 1u);
    tSimTree replayed;
    ASSERT_TRUE(parseSimTree(capture.fixture, replayed, failure)) << failure << "\n" << capture.fixture;
    ASSERT_EQ(replayed.nodes.size(), 8u);
    EXPECT_EQ(capture.nodes, 8u);
    EXPECT_EQ(replayed.hackFlags.value, 0x400u);
    const std::vector<tSimNode>& n = replayed.nodes;
    // The root: its boot configuration; its allocated one was never asked for.
    EXPECT_EQ(n[0].id, "ACPI\\PNP0A08\\1");
    EXPECT_FALSE(n[0].parent || n[0].allocConfig);
    ASSERT_EQ(n[0].bootConfig->descriptors.size(), 2u);
    EXPECT_EQ(n[0].bootConfig->descriptors[1].end, 0xcf7u);
    // The port: the interrupt it stepped over left out, a 64-bit window
    // above 4 GiB, a descriptor too short to read, a size that failed; its
    // device type read failed (a numbered failure), its BAR types not; its
    // boot configuration never asked for.
    EXPECT_FALSE(n[1].bootConfig);
    const auto& port = n[1].allocConfig->descriptors;
    ASSERT_EQ(port.size(), 4u);
    EXPECT_EQ(port[0].end, 4u);
    EXPECT_EQ(port[1].type, static_cast<RESOURCEID>(ResType_MemLarge));
    EXPECT_EQ(port[1].base, 0x4000000000u);
    EXPECT_EQ(port[1].flags, static_cast<DWORD>(fMD_PrefetchAllowed));
    EXPECT_EQ(port[2].size, 12u);
    EXPECT_EQ(port[2].base, 0u);
    EXPECT_EQ(port[3].sizeResult, static_cast<CONFIGRET>(CR_FAILURE));
    EXPECT_FALSE(n[1].deviceType);
    EXPECT_EQ(n[1].barTypes, 0x0100u);
    ASSERT_EQ(replayed.failCalls.size(), 1u);
    EXPECT_EQ(replayed.failCalls[0].call, tSimCall::DeviceProperty);
    EXPECT_EQ(replayed.failCalls[0].nth, 1u);
    EXPECT_EQ(replayed.failCalls[0].result, static_cast<CONFIGRET>(ERROR_GEN_FAILURE));
    // Walked through: a neutral name and nothing else.
    EXPECT_EQ(n[2].id, "CAPTURED\\NODE\\2");
    EXPECT_EQ(n[2].parent, 1u);
    EXPECT_FALSE(n[2].bootConfig || n[2].allocConfig || n[2].started);
    // The card below it: serial replaced, its problem, a descriptor's data
    // that could not be read.
    EXPECT_EQ(n[3].id, "PCI\\VEN_10DE&DEV_2204\\0&00000000&0&3");
    EXPECT_EQ(n[3].parent, 2u);
    EXPECT_EQ(n[3].problem, static_cast<ULONG>(CM_PROB_NORMAL_CONFLICT));
    EXPECT_EQ(n[3].allocConfig->descriptors.at(0).dataResult, static_cast<CONFIGRET>(CR_ACCESS_DENIED));
    // A status and IDs that could not be read: below the port, and a member
    // of the set; a member the reader only named is a neutral node.
    EXPECT_EQ(n[4].statusResult, static_cast<CONFIGRET>(CR_FAILURE));
    EXPECT_EQ(n[5].idResult, static_cast<CONFIGRET>(CR_INVALID_DEVNODE));
    EXPECT_EQ(n[5].parent, 1u);
    EXPECT_EQ(n[6].idResult, static_cast<CONFIGRET>(CR_FAILURE));
    EXPECT_FALSE(n[6].parent);
    EXPECT_EQ(n[7].id, "CAPTURED\\NODE\\7");
}

// The table comes in the set's order, each node followed by what lies
// below it in the tree's order, wherever the machine listed it.
TEST(CaptureTest, OrdersTheTableAsTheReaderMetIt) {
    tSimTree tree = treeOf({simNode("PCI\\VEN_1\\3&1&0&08"), simNode("PCI\\VEN_2\\3&1&0&10"),
                            bridge("ACPI\\PNP0A08\\0", true, {busNumbers(0, 0xff)})});
    tree.nodes[0].parent = 2;
    tree.nodes[1].parent = 2;
    tSimulatedDeviceTree services(tree);
    tCapture capture;
    std::string failure;
    {
        tEmulationScope scope(services);
        ASSERT_TRUE(captureDeviceTree(capture, failure)) << failure;
    }
    tSimTree replayed;
    ASSERT_TRUE(parseSimTree(capture.fixture, replayed, failure)) << failure;
    ASSERT_EQ(replayed.nodes.size(), 3u);
    EXPECT_EQ(replayed.nodes[0].id, "ACPI\\PNP0A08\\0");
    EXPECT_EQ(replayed.nodes[1].id, "PCI\\VEN_1\\3&1&0&08");
    EXPECT_EQ(replayed.nodes[2].id, "PCI\\VEN_2\\3&1&0&10");
    EXPECT_EQ(replayed.nodes[2].parent, 0u);
}

TEST(CaptureTest, SaysHackFlagsAsTheRegistryAnswers) {
    for (const int answer : {0, 1, 2}) {
        tSimTree tree = treeOf({bridge("ACPI\\PNP0A08\\0", true, {busNumbers(0, 0xff)})});
        tree.hackFlags.value = answer == 1 ? std::optional<DWORD>(0x200) : std::nullopt;
        tree.hackFlags.unreadable = answer == 2;
        tSimulatedDeviceTree services(tree);
        tEmulationScope scope(services);
        tCapture capture;
        std::string failure;
        ASSERT_TRUE(captureDeviceTree(capture, failure));
        tSimTree replayed;
        ASSERT_TRUE(parseSimTree(capture.fixture, replayed, failure)) << failure;
        EXPECT_EQ(replayed.hackFlags.value, tree.hackFlags.value) << answer;
        EXPECT_EQ(replayed.hackFlags.unreadable, tree.hackFlags.unreadable) << answer;
    }
}

// What the Windows reader makes of a simulated tree: whether it read it,
// why not, and the JSON of what it read.
struct tOutcome {
    bool read = false;
    std::string failure;
    std::string report;
};

tOutcome readThrough(tSimulatedDeviceTree& services) {
    tOutcome outcome;
    tTopology topology;
    {
        tEmulationScope scope(services);
        outcome.read = readWindowsTopology(topology, outcome.failure);
    }
    if (outcome.read) {
        outcome.report = headroomJson(analyseHeadroom(topology));
    }
    // The card's serial number is replaced in its capture.
    for (std::string* text : {&outcome.failure, &outcome.report}) {
        for (std::size_t at = 0; (at = text->find("SERIAL0042", at)) != std::string::npos;) {
            text->replace(at, 10, "0&00000000&0&3");
        }
    }
    return outcome;
}

// Each call of a capture failing in turn, with a result a property read
// takes for "not set" and one it does not: the capture never holds a handle
// or a buffer, fails as the reader fails, and replays to what the reader
// read, failure and all; a capture of it is itself. Only the heap's
// failures, which are this program's and not the machine's, do not replay.
TEST(CaptureTest, ReplaysWhateverCallFails) {
    std::uint64_t calls = 0;
    {
        tSimulatedDeviceTree services(failingTree());
        const tOutcome whole = readThrough(services);
        ASSERT_TRUE(whole.read) << whole.failure;
        calls = services.callLog().size();
    }
    ASSERT_GT(calls, 60u);
    for (const CONFIGRET result : {CONFIGRET{CR_OUT_OF_MEMORY}, CONFIGRET{CR_FAILURE}}) {
        for (std::uint64_t call = 1; call <= calls; ++call) {
            const std::string what = "call " + std::to_string(call) + " failing with " + std::to_string(result);
            tSimulatedDeviceTree direct(failingTree());
            direct.failCall(call, result);
            const tOutcome expected = readThrough(direct);
            tSimulatedDeviceTree services(failingTree());
            services.failCall(call, result);
            tCapture capture;
            std::string failure;
            bool read = false;
            {
                tEmulationScope scope(services);
                read = captureDeviceTree(capture, failure);
            }
            EXPECT_EQ(services.leakReport(), "") << what;
            tSimTree replayed;
            ASSERT_TRUE(parseSimTree(capture.fixture, replayed, failure)) << what << ": " << failure;
            if (services.callLog()[call - 1].call == tSimCall::Allocate) {
                continue;
            }
            EXPECT_EQ(read, expected.read) << what;
            tSimulatedDeviceTree replay(replayed);
            const tOutcome again = readThrough(replay);
            EXPECT_EQ(again.read, expected.read) << what;
            EXPECT_EQ(again.failure, expected.failure) << what;
            EXPECT_EQ(again.report, expected.report) << what;
            tSimulatedDeviceTree recaptured(replayed);
            tCapture second;
            {
                tEmulationScope scope(recaptured);
                (void)captureDeviceTree(second, failure);
            }
            EXPECT_EQ(second.fixture, capture.fixture) << what;
        }
    }
}

std::string contents(const std::filesystem::path& path) {
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

TEST(CaptureTest, WritesWholeOrLeavesNothing) {
    const std::filesystem::path dir = std::filesystem::path(::testing::TempDir()) /
                                      ("capture-" + std::to_string(::getpid()));
    std::filesystem::remove_all(dir);
    ASSERT_TRUE(std::filesystem::create_directories(dir));
    const std::filesystem::path file = dir / "machine.json";
    std::string reason;
    // A new file, then one replaced.
    for (const char* text : {"{\"nodes\": []}\n", "{}\n"}) {
        ASSERT_TRUE(writeFileWhole(file.string(), text, reason)) << reason;
        EXPECT_EQ(contents(file), text);
    }
    const struct {
        std::filesystem::path path;
        const char* reason;
    } failures[] = {
        {dir / "missing" / "machine.json", "No such file or directory"},
        {dir, "Is a directory"},
        {"/dev/full", "No space left on device"},
    };
    for (const auto& f : failures) {
        if (f.path == "/dev/full" && !std::filesystem::exists(f.path)) {
            continue;
        }
        reason.clear();
        EXPECT_FALSE(writeFileWhole(f.path.string(), "{}\n", reason)) << f.path;
        EXPECT_EQ(reason, f.reason) << f.path;
    }
    // Only the file written stands in the directory.
    std::vector<std::filesystem::path> left;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        left.push_back(entry.path().filename());
    }
    EXPECT_EQ(left, std::vector<std::filesystem::path>{"machine.json"});
    std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace nROOTSCOPE_1_0

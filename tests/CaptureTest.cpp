// SPDX-License-Identifier: MIT
// rootscope-headroom's capture: what it keeps of an ID, how it quotes, what
// it records of every read that fails, that every handle goes back whichever
// call fails, and that a file is written whole or not at all. The round trip
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
#include "SimTrees.h"

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

TEST(CaptureTest, QuotesAsJsonRequires) {
    const struct {
        std::string text;
        const char* quoted;
    } cases[] = {
        {"PCI\\VEN", "\"PCI\\\\VEN\""},
        {"a\"b", "\"a\\\"b\""},
        {std::string("\n\x01\x1f", 3), "\"\\u000a\\u0001\\u001f\""},
        {std::string("\0", 1), "\"\\u0000\""},
        {"\x7f/é", "\"\x7f/é\""},
        {"", "\"\""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(jsonString(c.text), c.quoted);
    }
}

tSimDescriptor descriptor(RESOURCEID type, std::uint64_t base, std::uint64_t end, DWORD flags = 0) {
    tSimDescriptor made;
    made.type = type;
    made.base = base;
    made.end = end;
    made.flags = flags;
    return made;
}

// A root bridge with a PCI bridge below it and two functions below that,
// one through a node that is neither: each with something that fails.
tSimTree failingTree() {
    tSimTree tree;
    tree.hackFlags.value = 0x400;
    tSimNode root = bridge("ACPI\\PNP0A08\\1", true, {busNumbers(0, 0x3f)});
    root.bootConfig->descriptors.push_back(descriptor(ResType_IO, 0, 0xcf7));
    tSimNode port = simNode("PCI\\VEN_8086&DEV_A7B8\\3&11583659&0&E0");
    port.parent = 0;
    port.busNumber = 0;
    port.address = 0x1c0000;
    port.deviceType = 8;
    port.barTypes = 0x0100;
    port.allocConfig.emplace();
    port.allocConfig->descriptors = {busNumbers(1, 4), descriptor(ResType_IRQ, 0, 0),
                                     descriptor(ResType_MemLarge, 0x4000000000, 0x40ffffffff, fMD_PrefetchAllowed),
                                     descriptor(ResType_Mem, 0xd0000000, 0xd00fffff), descriptor(ResType_IO, 0, 0)};
    port.allocConfig->descriptors[3].size = 12;  // cut short: the end is read as zero
    port.allocConfig->descriptors[4].sizeResult = CR_FAILURE;
    port.allocConfig->endResult = CR_INVALID_RES_DES;
    tSimNode hub = simNode("USB\\ROOT_HUB30\\4&2A1B&0&0");
    hub.parent = 1;
    tSimNode card = simNode("PCI\\VEN_10DE&DEV_2204\\SERIAL0042");
    card.parent = 2;
    card.problem = CM_PROB_NORMAL_CONFLICT;
    card.bootConfig.emplace();
    card.bootConfig->result = CR_FAILURE;
    card.allocConfig.emplace();
    card.allocConfig->descriptors = {descriptor(ResType_Mem, 0xa0000, 0xbffff)};
    card.allocConfig->descriptors[0].dataResult = CR_ACCESS_DENIED;
    tSimNode lost = simNode("PCI\\VEN_1234&DEV_0001\\4&1&0&08");
    lost.parent = 1;
    lost.idResult = CR_INVALID_DEVNODE;
    lost.statusResult = CR_FAILURE;
    tree.nodes = {root, port, hub, card, lost, simNode("ACPI\\PNP0A03\\0", false)};
    tree.nodes.back().idResult = CR_FAILURE;
    tree.failCalls = {{tSimCall::DeviceProperty, 1, ERROR_GEN_FAILURE}};
    return tree;
}

TEST(CaptureTest, RecordsEveryFailedReadWhereTheFixtureSaysIt) {
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
    ASSERT_EQ(replayed.nodes.size(), 6u);
    EXPECT_EQ(replayed.hackFlags.value, 0x400u);
    const std::vector<tSimNode>& n = replayed.nodes;
    // The root: both its descriptors, no parent.
    EXPECT_EQ(n[0].id, "ACPI\\PNP0A08\\1");
    EXPECT_FALSE(n[0].parent);
    ASSERT_EQ(n[0].bootConfig->descriptors.size(), 2u);
    EXPECT_EQ(n[0].bootConfig->descriptors[1].end, 0xcf7u);
    // The port: the interrupt left out, a 64-bit window above 4 GiB, a cut
    // descriptor, a size that failed, a walk that ended in a failure; its
    // device type read failed (recorded as a failed call), its BAR types not.
    const auto& port = n[1].allocConfig->descriptors;
    ASSERT_EQ(port.size(), 4u);
    EXPECT_EQ(port[1].type, static_cast<RESOURCEID>(ResType_MemLarge));
    EXPECT_EQ(port[1].base, 0x4000000000u);
    EXPECT_EQ(port[1].flags, static_cast<DWORD>(fMD_PrefetchAllowed));
    EXPECT_EQ(port[2].size, 12u);
    EXPECT_EQ(port[2].base, 0xd0000000u);
    EXPECT_EQ(port[2].end, 0u);
    EXPECT_EQ(port[3].sizeResult, static_cast<CONFIGRET>(CR_FAILURE));
    EXPECT_EQ(n[1].allocConfig->endResult, static_cast<CONFIGRET>(CR_INVALID_RES_DES));
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
    // The card below it: serial replaced, its problem, a configuration and
    // a descriptor's data that could not be read.
    EXPECT_EQ(n[3].id, "PCI\\VEN_10DE&DEV_2204\\0&00000000&0&3");
    EXPECT_EQ(n[3].parent, 2u);
    EXPECT_EQ(n[3].problem, static_cast<ULONG>(CM_PROB_NORMAL_CONFLICT));
    EXPECT_EQ(n[3].bootConfig->result, static_cast<CONFIGRET>(CR_FAILURE));
    EXPECT_EQ(n[3].allocConfig->descriptors.at(0).dataResult, static_cast<CONFIGRET>(CR_ACCESS_DENIED));
    // IDs that could not be read: below the root, and a member of the set.
    EXPECT_EQ(n[4].idResult, static_cast<CONFIGRET>(CR_INVALID_DEVNODE));
    EXPECT_EQ(n[4].parent, 1u);
    EXPECT_EQ(n[5].idResult, static_cast<CONFIGRET>(CR_FAILURE));
    EXPECT_FALSE(n[5].parent);
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

// Each call of a capture failing in turn: the capture ends or goes on,
// never holding a handle or a buffer, and a failure names its call.
TEST(CaptureTest, ReleasesEverythingWhicheverCallFails) {
    std::uint64_t calls = 0;
    {
        tSimulatedDeviceTree services(failingTree());
        tEmulationScope scope(services);
        tCapture capture;
        std::string failure;
        ASSERT_TRUE(captureDeviceTree(capture, failure));
        calls = services.callLog().size();
    }
    ASSERT_GT(calls, 40u);
    for (std::uint64_t call = 1; call <= calls; ++call) {
        tSimulatedDeviceTree services(failingTree());
        services.failCall(call, CR_OUT_OF_MEMORY);
        tCapture capture;
        std::string failure;
        bool captured = false;
        {
            tEmulationScope scope(services);
            captured = captureDeviceTree(capture, failure);
        }
        EXPECT_EQ(services.leakReport(), "") << "call " << call;
        if (captured) {
            tSimTree replayed;
            EXPECT_TRUE(parseSimTree(capture.fixture, replayed, failure)) << "call " << call << ": " << failure;
        } else {
            EXPECT_EQ(failure.rfind("the device database: ", 0), 0u) << failure;
            EXPECT_TRUE(capture.fixture.empty());
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

// SPDX-License-Identifier: MIT
// The device walk, instance-ID matching and the bus-number range reader,
// over the simulated device tree.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "DevMgr.h"
#include "SimTrees.h"
#include "SimulatedDeviceTree.h"

namespace nROOTSCOPE_1_0 {
namespace {

// ---------------------------------------------------------------- matching

struct tMatchCase {
    const char* id;
    const char* pattern;
    bool matches;
};

void PrintTo(const tMatchCase& c, std::ostream* os) {
    *os << '"' << c.id << "\" ~ \"" << c.pattern << '"';
}

class InstanceIdMatching : public testing::TestWithParam<tMatchCase> {};

TEST_P(InstanceIdMatching, ComparesPrefixIgnoringAsciiCase) {
    const tMatchCase c = GetParam();
    const std::string id = c.id;
    EXPECT_EQ(instanceIdMatches(id.c_str(), id.size() + 1, c.pattern), c.matches) << c.id << " ~ " << c.pattern;
}

const tMatchCase kMatchCases[] = {tMatchCase{"ACPI\\PNP0A08\\0", kPciExpressRootBridgePattern, true},
                    tMatchCase{"acpi\\pnp0a08\\1", kPciExpressRootBridgePattern, true},
                    tMatchCase{"AcPi\\PnP0a08\\", kPciExpressRootBridgePattern, true},
                    tMatchCase{"ACPI\\PNP0A08", kPciExpressRootBridgePattern, false},
                    tMatchCase{"ACPI\\PNP0A080\\0", kPciExpressRootBridgePattern, false},
                    tMatchCase{"ACPI\\PNP0A03\\0", kPciExpressRootBridgePattern, false},
                    tMatchCase{"ACPI\\PNP0A08\\0", kPciRootBridgePattern, false},
                    tMatchCase{"ACPI\\PNP0A03\\2&DAF684&0", kPciRootBridgePattern, true},
                    tMatchCase{"PCI\\VEN_8086&DEV_1237\\3&267A616A&0&00", kPciRootBridgePattern, false},
                    tMatchCase{"", kPciRootBridgePattern, false},
                    // "*" alone matches anything, the empty ID included.
                    tMatchCase{"", "*", true}, tMatchCase{"ROOT\\ANYTHING", "*", true},
                    // Characters after the "*" are not looked at.
                    tMatchCase{"ACPI\\X", "ACPI\\*never", true},
                    // Without a "*" the whole ID must equal the pattern.
                    tMatchCase{"acpi\\pnp0a08\\0", "ACPI\\PNP0A08\\0", true},
                    tMatchCase{"ACPI\\PNP0A08\\01", "ACPI\\PNP0A08\\0", false},
                    tMatchCase{"ACPI\\PNP0A08", "ACPI\\PNP0A08\\0", false}, tMatchCase{"", "", true},
                    // Case folding is ASCII only: "@" and "`" are not letters.
                    tMatchCase{"@CPI\\PNP0A08\\0", "`CPI\\*", false},
                    tMatchCase{"ACP[\\PNP0A08\\0", "ACP{\\*", false},
                    tMatchCase{"ACP@\\PNP0A08\\0", "ACP`\\*", false},
                    tMatchCase{"ACPZ\\PNP0A08\\0", "acpz\\*", true},
                    tMatchCase{"acpa\\PNP0A08\\0", "ACPA\\*", true},
                    // ...nor do bytes above 0x7F fold onto ASCII.
                    tMatchCase{"\xC1" "CPI\\PNP0A08\\0", kPciExpressRootBridgePattern, false},
                    tMatchCase{"ACPI\\PNP0A08\\0", "\xC1" "CPI\\*", false},
                    tMatchCase{"ACPI\\PNP0\xC1" "08\\0", kPciExpressRootBridgePattern, false},
                    // Prefixes past one and two words of eight bytes.
                    tMatchCase{"ACPI\\PNP0A08\\0", "acpi\\pnp0a08\\0*", true},
                    tMatchCase{"ACPI\\PNP0A08\\1", "acpi\\pnp0a08\\0*", false},
                    tMatchCase{"ROOT\\SYSTEM\\0000\\SUB", "root\\system\\0000\\SUB*", true},
                    tMatchCase{"ROOT\\SYSTEM\\0000\\SUC", "root\\system\\0000\\SUB*", false},
                    tMatchCase{"ROOT\\SYSTEM\\0000\\SU", "root\\system\\0000\\SUB*", false},
                    // Prefixes ending in separators, or made of nothing else.
                    tMatchCase{"ACPI\\\\X", "ACPI\\\\*", true},
                    tMatchCase{"ACPI\\X", "ACPI\\\\*", false},
                    tMatchCase{"\\\\", "\\\\*", true},
                    tMatchCase{"\\A", "\\\\*", false}};

INSTANTIATE_TEST_SUITE_P(Table, InstanceIdMatching, testing::ValuesIn(kMatchCases));

// The walk reads IDs into a 200-byte buffer and matches there, with whatever
// earlier IDs left after the terminator: the same answers must come out.
TEST_P(InstanceIdMatching, SameAnswerInAFullBufferWithStaleBytes) {
    const tMatchCase c = GetParam();
    for (const char stale : {'\0', '\\', 'A', 'x'}) {
        char buffer[kInstanceIdBufferSize];
        std::memset(buffer, stale, sizeof buffer);
        std::memcpy(buffer, c.id, std::strlen(c.id) + 1);
        EXPECT_EQ(instanceIdMatches(buffer, sizeof buffer, c.pattern), c.matches)
            << c.id << " ~ " << c.pattern << " with stale byte " << int{stale};
    }
}

TEST(InstanceIdMatching, TerminatorBeforeTheEndOfThePrefixIsAMismatch) {
    // "ACPI\PNP0A08", then the terminator where the prefix has its final
    // backslash, then the backslash an earlier, longer ID left behind.
    char buffer[kInstanceIdBufferSize] = "ACPI\\PNP0A08";
    buffer[13] = '\\';
    buffer[14] = '0';
    EXPECT_FALSE(instanceIdMatches(buffer, sizeof buffer, kPciExpressRootBridgePattern));
    buffer[12] = '\\';
    EXPECT_TRUE(instanceIdMatches(buffer, sizeof buffer, kPciExpressRootBridgePattern));
}

TEST(InstanceIdMatching, NeverReadsPastTheIdCapacity) {
    // An ID that fills its buffer with no terminator: only `capacity` bytes
    // may be looked at. The bytes after it differ from the pattern.
    const char unterminated[] = {'A', 'C', 'P', 'I', 'x', 'x'};
    EXPECT_FALSE(instanceIdMatches(unterminated, 4, "ACPIxx*"));
    EXPECT_TRUE(instanceIdMatches(unterminated, 4, "ACPI*"));
    EXPECT_TRUE(instanceIdMatches(unterminated, 4, "ACPI"));
    EXPECT_FALSE(instanceIdMatches(unterminated, 4, "ACPIx"));
}

// ---------------------------------------------------------------- the walk

struct tVisit {
    std::uint32_t index;
    DEVINST devInst;
};

struct tVisitLog {
    std::vector<tVisit> visits;
    std::int32_t raiseAtVisit = -1;  // record an error on this visit number
};

void logVisit(HDEVINFO, const SP_DEVINFO_DATA& record, std::uint32_t index, void* context, tStatusBlock& status) {
    auto& log = *static_cast<tVisitLog*>(context);
    if (static_cast<std::int32_t>(log.visits.size()) == log.raiseAtVisit) {
        ROOTSCOPE_RAISE(status, kStatusConfigQueryFailed);
    }
    log.visits.push_back({index, record.DevInst});
}

std::vector<std::uint32_t> walk(tSimulatedDeviceTree& services, const char* pattern, tStatusBlock& status,
                                std::int32_t raiseAtVisit = -1) {
    tEmulationScope scope(services);
    tVisitLog log;
    log.raiseAtVisit = raiseAtVisit;
    forEachMatchingDevice(pattern, logVisit, &log, status);
    std::vector<std::uint32_t> indices;
    for (const tVisit& visit : log.visits) {
        EXPECT_EQ(visit.devInst, visit.index + 1) << "record and index disagree";
        indices.push_back(visit.index);
    }
    return indices;
}

tSimTree mixedTree() {
    tSimTree tree;
    tree.nodes = {simNode("ACPI\\PNP0A08\\0"),         simNode("PCI\\VEN_8086&DEV_0C00\\3&11583659&0&00"),
                  simNode("ACPI\\PNP0A03\\0"),         simNode("acpi\\pnp0a08\\1", false),
                  simNode("ACPI\\PNP0A0"),             simNode("ACPI\\PNP0A03\\1", false),
                  simNode("ROOT\\LEGACY_BEEP\\0000")};
    return tree;
}

// Which nodes of a tree the rule accepts, put as plainly as it goes: the ID
// as read (empty when the read fails or it does not fit the buffer), ASCII
// letters folded, must begin with what comes before the pattern's "*" or,
// without one, be the whole pattern.
std::vector<std::uint32_t> acceptedBy(const tSimTree& tree, const std::string& pattern) {
    const auto fold = [](std::string text) {
        for (char& c : text) {
            c = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
        }
        return text;
    };
    const std::size_t star = pattern.find('*');
    const std::string wanted = fold(pattern.substr(0, star));
    std::vector<std::uint32_t> indices;
    for (std::uint32_t i = 0; i < tree.nodes.size(); ++i) {
        const tSimNode& node = tree.nodes[i];
        const bool readable = node.idResult == CR_SUCCESS && node.id.size() <= kInstanceIdBufferSize;
        const std::string id = fold(readable ? node.id.substr(0, kInstanceIdBufferSize - 1) : std::string());
        if (star == std::string::npos ? id == wanted : id.starts_with(wanted)) {
            indices.push_back(i);
        }
    }
    return indices;
}

// The walk reads every ID into one buffer, which still holds what longer IDs
// before it, or a failed read's garbage, left past its end, or, after a read
// refused for want of room, the whole of the ID before it. Whatever is there,
// it must visit exactly the nodes the rule accepts.
TEST(DeviceWalk, VisitsExactlyWhatTheRuleAcceptsWhateverEarlierIdsLeft) {
    std::vector<std::string> ids;
    std::vector<std::string> patterns;
    for (const tMatchCase& c : kMatchCases) {
        ids.emplace_back(c.id);
        if (std::find(patterns.begin(), patterns.end(), c.pattern) == patterns.end()) {
            patterns.emplace_back(c.pattern);
        }
    }
    std::stable_sort(ids.begin(), ids.end(), [](const std::string& a, const std::string& b) {
        return a.size() > b.size();
    });
    for (const bool shortestFirst : {false, true}) {
        tSimTree tree;
        for (std::size_t i = 0; i < ids.size(); ++i) {
            tree.nodes.push_back(simNode(ids[shortestFirst ? ids.size() - 1 - i : i].c_str()));
            if (i % 3 == 0) {
                tSimNode unreadable = simNode("ACPI\\PNP0A08\\9");
                unreadable.idResult = CR_FAILURE;  // leaves garbage across the buffer
                tree.nodes.push_back(unreadable);
            } else {
                // Refused with CR_BUFFER_SMALL, the buffer left as it was.
                tree.nodes.push_back(simNode(("ACPI\\PNP0A03\\" + std::string(kInstanceIdBufferSize, '7')).c_str()));
            }
        }
        tSimulatedDeviceTree services(tree);
        for (const std::string& pattern : patterns) {
            tStatusBlock status = makeStatusBlock();
            EXPECT_EQ(walk(services, pattern.c_str(), status), acceptedBy(tree, pattern))
                << '"' << pattern << "\", shortest first: " << shortestFirst;
            EXPECT_EQ(status.code, 0);
        }
        EXPECT_EQ(services.leakReport(), "");
    }
}

// The same over trees of near misses: IDs made from a pattern's prefix with
// bytes swapped for their other case, for the bytes next to the letters, for
// bytes above 0x7F or for separators, cut short or run on.
TEST(DeviceWalk, AgreesWithTheRuleOnNearMisses) {
    const char alphabet[] = {'A', 'a', 'Z', 'z', '@', '`', '[', '{', '\\', '0', '\xC1', '\xE1'};
    std::uint32_t seed = 2026;
    const auto next = [&seed] {
        seed = seed * 1103515245u + 12345u;
        return seed >> 16;
    };
    const auto pick = [&] { return alphabet[next() % sizeof alphabet]; };
    for (int round = 0; round < 400; ++round) {
        std::string pattern;
        const std::size_t prefix = next() % 16;
        for (std::size_t i = 0; i < prefix; ++i) {
            pattern += pick();
        }
        pattern += '*';
        tSimTree tree;
        for (int n = 0; n < 24; ++n) {
            std::string id = pattern.substr(0, next() % (prefix + 2));
            for (char& c : id) {
                if (next() % 6 == 0) {
                    c = pick();
                }
            }
            if (!id.empty() && id.back() == '*') {
                id.pop_back();
            }
            for (std::size_t tail = next() % 20; tail > 0; --tail) {
                id += pick();
            }
            tree.nodes.push_back(simNode(id.c_str()));
        }
        tSimulatedDeviceTree services(tree);
        tStatusBlock status = makeStatusBlock();
        ASSERT_EQ(walk(services, pattern.c_str(), status), acceptedBy(tree, pattern))
            << "round " << round << ": \"" << pattern << '"';
        ASSERT_EQ(services.leakReport(), "");
    }
}

// SetupDiEnumDeviceInfo ends a list with ERROR_NO_MORE_ITEMS; failing with
// anything else (a wrong record size gives ERROR_INVALID_USER_BUFFER) means
// the database could not be walked, which no survey may take for its end.
TEST(DeviceWalk, EnumerationFailingOtherThanAtTheEndIsAnErrorAfterTheVisitsMade) {
    tSimTree tree = mixedTree();
    tree.enumError = ERROR_INVALID_USER_BUFFER;
    tSimulatedDeviceTree services(std::move(tree));
    tStatusBlock status = makeStatusBlock();
    EXPECT_EQ(walk(services, kPciExpressRootBridgePattern, status), (std::vector<std::uint32_t>{0, 3}));
    EXPECT_EQ(status.code, kStatusConfigQueryFailed);
    EXPECT_EQ(services.leakReport(), "");
}

TEST(DeviceWalk, VisitsOnlyNodesOfItsPatternPhantomsIncluded) {
    tSimulatedDeviceTree services(mixedTree());
    tStatusBlock status = makeStatusBlock();
    EXPECT_EQ(walk(services, kPciExpressRootBridgePattern, status), (std::vector<std::uint32_t>{0, 3}));
    EXPECT_EQ(walk(services, kPciRootBridgePattern, status), (std::vector<std::uint32_t>{2, 5}));
    EXPECT_EQ(walk(services, "*", status).size(), 7u);
    EXPECT_EQ(status.code, 0);
    EXPECT_EQ(services.emulation().setsOpened(), 3u);
    EXPECT_EQ(services.leakReport(), "");
}

TEST(DeviceWalk, HeldErrorOpensNoSetAndVisitsNothing) {
    tSimulatedDeviceTree services(mixedTree());
    tStatusBlock status = makeStatusBlock();
    ROOTSCOPE_RAISE(status, kStatusOutOfMemory);
    const tStatusBlock before = status;
    EXPECT_TRUE(walk(services, "*", status).empty());
    EXPECT_EQ(services.calls(), 0u);
    EXPECT_EQ(std::memcmp(&status, &before, sizeof status), 0);
}

TEST(DeviceWalk, HeldWarningDoesNotStopTheWalk) {
    tSimulatedDeviceTree services(mixedTree());
    tStatusBlock status = makeStatusBlock();
    status.setCode(52006, kStatusComponent, "here", 1);
    EXPECT_EQ(walk(services, kPciExpressRootBridgePattern, status).size(), 2u);
    EXPECT_EQ(status.code, 52006);
}

TEST(DeviceWalk, VisitorErrorStopsLaterVisitsButTheSetIsWalkedAndReleased) {
    tSimulatedDeviceTree services(mixedTree());
    tStatusBlock status = makeStatusBlock();
    EXPECT_EQ(walk(services, kPciExpressRootBridgePattern, status, 0), (std::vector<std::uint32_t>{0}));
    EXPECT_EQ(status.code, kStatusConfigQueryFailed);
    EXPECT_EQ(services.leakReport(), "");
    // The rest of the set was enumerated, without reading a single ID:
    // open, detail, 7 members + the end, 1 ID read, destroy.
    EXPECT_EQ(services.calls(), 1u + 1u + 8u + 1u + 1u);
}

// A set that cannot be opened or described is a failure, not an empty machine.
TEST(DeviceWalk, UnreadableDeviceSetIsRecordedAsAnError) {
    for (const bool openFails : {true, false}) {
        tSimTree tree = mixedTree();
        tree.openSetFails = openFails;
        tree.detailQueryFails = !openFails;
        tSimulatedDeviceTree services(std::move(tree));
        tStatusBlock status = makeStatusBlock();
        EXPECT_TRUE(walk(services, "*", status).empty()) << openFails;
        EXPECT_EQ(status.code, kStatusConfigQueryFailed);
        EXPECT_STREQ(status.component, "Rootscope");
        EXPECT_NE(std::string(status.file).find("DevMgr"), std::string::npos) << status.file;
        EXPECT_EQ(services.leakReport(), "") << openFails;
    }
}

TEST(DeviceWalk, NodeWhoseIdCannotBeReadIsSkippedSilently) {
    tSimTree tree = mixedTree();
    tree.nodes[0].idResult = CR_NO_SUCH_DEVNODE;
    tSimulatedDeviceTree services(std::move(tree));
    tStatusBlock status = makeStatusBlock();
    EXPECT_EQ(walk(services, kPciExpressRootBridgePattern, status), (std::vector<std::uint32_t>{3}));
    EXPECT_EQ(status.code, 0);
    // The "*" pattern still reaches it: its ID reads as empty.
    EXPECT_EQ(walk(services, "*", status).size(), 7u);
}

TEST(DeviceWalk, IdFillingTheWholeBufferIsReadTerminated) {
    std::string longId = "ACPI\\PNP0A08\\";
    longId.resize(kInstanceIdBufferSize, '7');
    tSimTree tree;
    tree.nodes = {simNode(longId.c_str())};
    tSimulatedDeviceTree services(std::move(tree));
    tStatusBlock status = makeStatusBlock();
    EXPECT_EQ(walk(services, kPciExpressRootBridgePattern, status).size(), 1u);

    tEmulationScope scope(services);
    char id[kInstanceIdBufferSize];
    tStatusBlock scratch = makeStatusBlock();
    readInstanceId(1, id, scratch);
    EXPECT_EQ(scratch.code, 0);
    EXPECT_EQ(std::string(id), longId.substr(0, kInstanceIdBufferSize - 1));
}

TEST(DeviceWalk, FailedIdReadLeavesAnEmptyIdAndAScratchError) {
    tSimTree tree;
    tree.nodes = {simNode("ACPI\\PNP0A08\\0")};
    tree.nodes[0].idResult = CR_FAILURE;
    tSimulatedDeviceTree services(std::move(tree));
    tEmulationScope scope(services);
    char id[kInstanceIdBufferSize];
    tStatusBlock scratch = makeStatusBlock();
    readInstanceId(1, id, scratch);
    EXPECT_STREQ(id, "");
    EXPECT_EQ(scratch.code, kStatusConfigQueryFailed);
}

TEST(NodeStatus, FailedQueryMeansNotStartedWhateverBitsItLeft) {
    tSimTree tree;
    tree.nodes = {simNode("A", true), simNode("B", false), simNode("C", true)};
    tree.nodes[2].statusResult = CR_FAILURE;  // writes all-ones bits
    tSimulatedDeviceTree services(std::move(tree));
    tEmulationScope scope(services);
    EXPECT_TRUE(isNodeStarted(1));
    EXPECT_FALSE(isNodeStarted(2));
    EXPECT_FALSE(isNodeStarted(3));
}

// ---------------------------------------------------------- range reader

tSimDescriptor other(RESOURCEID type) {
    tSimDescriptor d;
    d.type = type;
    d.size = 0;  // reading its data would fail the size checks below
    d.sizeResult = CR_FAILURE;
    d.dataResult = CR_FAILURE;
    return d;
}

struct tRangeCase {
    const char* name;
    std::optional<tSimBootConfig> bootConfig;
    std::optional<std::uint64_t> heapFailsAfter;
    std::int32_t heldCode;  // what the run's block holds before the read
    std::int32_t expectedCode;
    std::int32_t expectedLow;
    std::int32_t expectedHigh;
    std::uint64_t expectedAllocations;
};

tSimBootConfig config(std::vector<tSimDescriptor> descriptors, CONFIGRET result = CR_SUCCESS,
                      CONFIGRET endResult = CR_NO_MORE_RES_DES) {
    tSimBootConfig c;
    c.descriptors = std::move(descriptors);
    c.result = result;
    c.endResult = endResult;
    return c;
}

tSimDescriptor with(tSimDescriptor d, void (*change)(tSimDescriptor&)) {
    change(d);
    return d;
}

std::vector<tRangeCase> rangeCases() {
    const auto sizeFails = [](tSimDescriptor& d) { d.sizeResult = CR_FAILURE; };
    const auto sizeZero = [](tSimDescriptor& d) { d.size = 0; };
    const auto sizeShort = [](tSimDescriptor& d) { d.size = 19; };
    const auto sizeLong = [](tSimDescriptor& d) { d.size = 64; };
    const auto dataFails = [](tSimDescriptor& d) { d.dataResult = CR_ACCESS_DENIED; };
    const auto nextFails = [](tSimDescriptor& d) { d.result = CR_FAILURE; };
    return {
        {"FullRange", config({busNumbers(0, 255)}), {}, 0, 0, 0, 255, 1},
        {"LimitedRange", config({busNumbers(0, 63)}), {}, 0, 0, 0, 63, 1},
        {"OtherDescriptorsSkippedUnread", config({other(ResType_Mem), other(ResType_IO), busNumbers(2, 9),
                                                  other(ResType_IRQ)}), {}, 0, 0, 2, 9, 1},
        {"DataLongerThanHeader", config({with(busNumbers(4, 7), sizeLong)}), {}, 0, 0, 4, 7, 1},
        {"LastGoodBusNumberDescriptorWins", config({busNumbers(0, 31), busNumbers(32, 63)}), {}, 0, 0, 32, 63, 2},
        {"FailedLaterDescriptorKeepsEarlierRange", config({busNumbers(0, 31), with(busNumbers(32, 63), dataFails)}),
         {}, 0, 313569, 0, 31, 2},
        {"NoBootConfiguration", std::nullopt, {}, 0, 0, -1, -1, 0},
        {"NoBusNumberDescriptor", config({other(ResType_Mem), other(ResType_DMA)}), {}, 0, 0, -1, -1, 0},
        {"EmptyConfiguration", config({}), {}, 0, 0, -1, -1, 0},
        {"FirstLogConfFails", config({busNumbers(0, 63)}, CR_FAILURE), {}, 0, kStatusConfigQueryFailed, -1, -1, 0},
        {"NextDescriptorFails", config({busNumbers(1, 2), with(other(ResType_Mem), nextFails), busNumbers(3, 4)}),
         {}, 0, kStatusConfigQueryFailed, 1, 2, 1},
        {"WalkEndFailsOtherwise", config({busNumbers(1, 2)}, CR_SUCCESS, CR_FAILURE), {}, 0,
         kStatusConfigQueryFailed, 1, 2, 1},
        {"SizeQueryFails", config({with(busNumbers(0, 63), sizeFails)}), {}, 0, 313569, -1, -1, 0},
        {"SizeZero", config({with(busNumbers(0, 63), sizeZero)}), {}, 0, 52006, -1, -1, 0},
        {"SizeShorterThanHeader", config({with(busNumbers(0, 63), sizeShort)}), {}, 0, 52006, -1, -1, 0},
        {"HeapExhausted", config({busNumbers(0, 63), busNumbers(0, 7)}), 1, 0, kStatusOutOfMemory, 0, 63, 2},
        {"DataReadFails", config({with(busNumbers(0, 63), dataFails)}), {}, 0, 313569, -1, -1, 1},
        {"HeldWarningStillWalksInFull", config({with(busNumbers(0, 1), sizeZero), busNumbers(0, 63)}), {}, 52006,
         52006, 0, 63, 1},
        {"HeldWarningNotReplacedByDemotion", config({with(busNumbers(0, 63), dataFails)}), {}, 52006, 52006, -1, -1,
         1},
        {"HeldErrorReadsNothing", config({busNumbers(0, 63)}), {}, kStatusConfigQueryFailed,
         kStatusConfigQueryFailed, -1, -1, 0},
    };
}

void PrintTo(const tRangeCase& c, std::ostream* os) {
    *os << c.name;
}

class BusNumberRange : public testing::TestWithParam<tRangeCase> {};

TEST_P(BusNumberRange, FollowsTheFailureRulesAndReleasesEverything) {
    const tRangeCase& c = GetParam();
    tSimTree tree;
    tree.nodes = {simNode("ACPI\\PNP0A08\\0")};
    tree.nodes[0].bootConfig = c.bootConfig;
    tree.heapFailsAfter = c.heapFailsAfter;
    tSimulatedDeviceTree services(std::move(tree));

    tStatusBlock status = makeStatusBlock();
    if (c.heldCode != 0) {
        status.setCode(c.heldCode, "Held", "held.cpp", 1);
    }
    std::int32_t low = -1;
    std::int32_t high = -1;
    {
        tEmulationScope scope(services);
        getBusNumberRange(1, low, high, BOOT_LOG_CONF, status);
    }
    EXPECT_EQ(status.code, c.expectedCode);
    EXPECT_EQ(low, c.expectedLow);
    EXPECT_EQ(high, c.expectedHigh);
    EXPECT_EQ(services.allocations(), c.expectedAllocations);
    EXPECT_EQ(services.leakReport(), "");
    if (c.heldCode < 0) {
        EXPECT_EQ(services.calls(), 0u);
    }
}

INSTANTIATE_TEST_SUITE_P(FailureTable, BusNumberRange, testing::ValuesIn(rangeCases()),
                         [](const testing::TestParamInfo<tRangeCase>& param) { return std::string(param.param.name); });

// Reads the range of a single-node tree whose boot configuration holds `d`.
tStatusBlock readOne(const tSimDescriptor& d, std::int32_t& low, std::int32_t& high) {
    tSimTree tree;
    tree.nodes = {simNode("ACPI\\PNP0A08\\0")};
    tree.nodes[0].bootConfig = config({d});
    tSimulatedDeviceTree services(std::move(tree));
    tEmulationScope scope(services);
    tStatusBlock status = makeStatusBlock();
    low = -1;
    high = -1;
    getBusNumberRange(1, low, high, BOOT_LOG_CONF, status);
    EXPECT_EQ(services.leakReport(), "");
    return status;
}

TEST(BusNumberRange, DemotedWarningKeepsThePlaceOfTheFailedCall) {
    tSimDescriptor d = busNumbers(0, 63);
    d.sizeResult = CR_FAILURE;
    std::int32_t low = 0;
    std::int32_t high = 0;
    const tStatusBlock status = readOne(d, low, high);
    EXPECT_EQ(status.code, 313569);
    EXPECT_STREQ(status.component, "Rootscope");
    EXPECT_NE(std::string(status.file).find("DevMgr"), std::string::npos) << status.file;
    EXPECT_GT(status.line, 0);
}

TEST(BusNumberRange, EmptyDataWarningRecordsTheReaderAsItsPlace) {
    tSimDescriptor d = busNumbers(0, 63);
    d.size = 0;
    std::int32_t low = 0;
    std::int32_t high = 0;
    const tStatusBlock status = readOne(d, low, high);
    EXPECT_EQ(status.code, -kStatusBusNumberDataEmpty);
    EXPECT_NE(std::string(status.file).find("DevMgr"), std::string::npos) << status.file;
}

TEST(BusNumberRange, BaseAndEndAreReadFromTheFourthAndFifthWords) {
    std::int32_t low = 0;
    std::int32_t high = 0;
    EXPECT_EQ(readOne(busNumbers(0x12, 0x7f), low, high).code, 0);
    EXPECT_EQ(low, 0x12);
    EXPECT_EQ(high, 0x7f);
}

TEST(BusNumberRange, ErrorInTheRunStopsEveryLaterRead) {
    tSimTree tree;
    tree.nodes = {simNode("ACPI\\PNP0A08\\0"), simNode("ACPI\\PNP0A08\\1")};
    tree.nodes[0].bootConfig = config({busNumbers(0, 63)}, CR_FAILURE);
    tree.nodes[1].bootConfig = config({busNumbers(0, 63)});
    tSimulatedDeviceTree services(std::move(tree));
    tEmulationScope scope(services);
    tStatusBlock status = makeStatusBlock();
    std::int32_t low = -1;
    std::int32_t high = -1;
    getBusNumberRange(1, low, high, BOOT_LOG_CONF, status);
    ASSERT_EQ(status.code, kStatusConfigQueryFailed);
    const std::uint64_t callsAfterFirst = services.calls();
    getBusNumberRange(2, low, high, BOOT_LOG_CONF, status);
    EXPECT_EQ(services.calls(), callsAfterFirst);
    EXPECT_EQ(low, -1);
}

// ------------------------------------------------------ configuration walk

tSimDescriptor typed(RESOURCEID type, std::uint64_t base, std::uint64_t end, DWORD flags) {
    tSimDescriptor d;
    d.type = type;
    d.base = base;
    d.end = end;
    d.flags = flags;
    return d;
}

struct tSeen {
    RESOURCEID type;
    tConfigDescriptor::tRead read;
    std::uint64_t base;
    std::uint64_t end;
    DWORD flags;
    bool operator==(const tSeen&) const = default;
};

void remember(const tConfigDescriptor& descriptor, void* context, tStatusBlock&) {
    tSeen seen{descriptor.type, descriptor.read, 0, 0, 0};
    if (descriptor.bytes != nullptr) {
        std::memcpy(&seen.base, descriptor.bytes + offsetof(MEM_DES, MD_Alloc_Base), sizeof seen.base);
        std::memcpy(&seen.end, descriptor.bytes + offsetof(MEM_DES, MD_Alloc_End), sizeof seen.end);
        std::memcpy(&seen.flags, descriptor.bytes + offsetof(MEM_DES, MD_Flags), sizeof seen.flags);
    }
    static_cast<std::vector<tSeen>*>(context)->push_back(seen);
}

// Memory, large memory and I/O asked for among an interrupt and bus numbers:
// each asked-for descriptor is read once, with its base, end and flags in
// the place MEM_DES, MEM_LARGE_DES and IO_DES share; one whose size or data
// cannot be read, or whose data is short, is handed over unread with a
// warning; the others are never sized or read; nothing is left held.
TEST(ConfigurationWalk, ReadsOnlyTheTypesAskedForEachOnce) {
    tSimDescriptor failedSize = typed(ResType_Mem, 0x1000, 0x1fff, 0);
    failedSize.sizeResult = CR_FAILURE;
    tSimDescriptor failedData = typed(ResType_IO, 0x3000, 0x30ff, 0);
    failedData.dataResult = CR_FAILURE;
    tSimDescriptor shortData = typed(ResType_MemLarge, 0, 0, 0);
    shortData.size = 16;
    tSimTree tree;
    tree.nodes = {simNode("PCI\\VEN_1&DEV_2\\0")};
    tree.nodes[0].bootConfig =
        config({typed(ResType_IRQ, 0, 0, 0), typed(ResType_Mem, 0xc0000000, 0xc00fffff, 0x4),
                busNumbers(1, 4), typed(ResType_MemLarge, 0x4000000000, 0x43ffffffff, 0x4),
                typed(ResType_IO, 0x2000, 0x2fff, 0x80), failedSize, failedData, shortData});
    tSimulatedDeviceTree services(std::move(tree));
    std::vector<tSeen> seen;
    tStatusBlock status = makeStatusBlock();
    bool present = false;
    {
        tEmulationScope scope(services);
        const RESOURCEID types[] = {ResType_Mem, ResType_MemLarge, ResType_IO};
        present = walkConfiguration(1, BOOT_LOG_CONF, types, 3, remember, &seen, status);
    }
    using tRead = tConfigDescriptor::tRead;
    const std::vector<tSeen> expected = {
        {ResType_Mem, tRead::kRead, 0xc0000000, 0xc00fffff, 0x4},
        {ResType_MemLarge, tRead::kRead, 0x4000000000, 0x43ffffffff, 0x4},
        {ResType_IO, tRead::kRead, 0x2000, 0x2fff, 0x80},
        {ResType_Mem, tRead::kSizeFailed, 0, 0, 0},
        {ResType_IO, tRead::kDataFailed, 0, 0, 0},
        {ResType_MemLarge, tRead::kShort, 0, 0, 0},
    };
    EXPECT_TRUE(present);
    EXPECT_TRUE(seen == expected);
    EXPECT_TRUE(status.isWarning()) << status.code;
    std::size_t sized = 0;
    for (const tSimCallRecord& record : services.callLog()) {
        sized += record.call == tSimCall::ResDesDataSize ? 1 : 0;
    }
    EXPECT_EQ(sized, 6u);  // the interrupt and the bus numbers never
    EXPECT_EQ(services.leakReport(), "");
}

TEST(ConfigurationWalk, NoConfigurationIsNoWalk) {
    tSimTree tree;
    tree.nodes = {simNode("PCI\\VEN_1&DEV_2\\0")};
    tSimulatedDeviceTree services(std::move(tree));
    tEmulationScope scope(services);
    tStatusBlock status = makeStatusBlock();
    std::vector<tSeen> seen;
    const RESOURCEID types[] = {ResType_Mem};
    EXPECT_FALSE(walkConfiguration(1, BOOT_LOG_CONF, types, 1, remember, &seen, status));
    EXPECT_EQ(status.code, 0);
    EXPECT_TRUE(seen.empty());
}

}  // namespace
}  // namespace nROOTSCOPE_1_0

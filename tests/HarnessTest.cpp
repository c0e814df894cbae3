// SPDX-License-Identifier: MIT
// The test harness itself: fixtures are read strictly, and the simulated
// tree really does catch what a survey leaves held or misuses.
#include <gtest/gtest.h>

#include <string>

#include "Fixture.h"
#include "Memory.h"
#include "RootBusSurvey.h"
#include "SimTrees.h"
#include "SimulatedDeviceTree.h"

namespace nROOTSCOPE_1_0 {
namespace {

struct tBadFixture {
    const char* text;
    const char* error;  // the message must start with this
};

void PrintTo(const tBadFixture& c, std::ostream* os) {
    *os << c.text;
}

class FixtureRefused : public testing::TestWithParam<tBadFixture> {};

TEST_P(FixtureRefused, NamesTheOffendingField) {
    tSimTree tree;
    std::string error;
    EXPECT_FALSE(parseSimTree(GetParam().text, tree, error));
    EXPECT_EQ(error.rfind(GetParam().error, 0), 0u) << error;
    EXPECT_EQ(error.find('\n'), std::string::npos) << "one line: " << error;
}

INSTANTIATE_TEST_SUITE_P(
    Table, FixtureRefused,
    testing::Values(
        tBadFixture{"", "(json): "}, tBadFixture{"[1, 2]", "(top level): expected an object"},
        // A number beyond a double's range is refused, not thrown past the loader.
        tBadFixture{R"({"nodes": [], "heap_fails_after": 1E400})", "(json): "},
        tBadFixture{"{}", "nodes: required"}, tBadFixture{R"({"nodes": {}})", "nodes: expected an array"},
        tBadFixture{R"({"nodes": [], "open_sets": 1})", "open_sets: unknown key"},
        // Control characters in a key are shown escaped: the refusal stays one line.
        tBadFixture{R"({"nodes": [], "open\nset\u0001": 1})", "open\\nset\\x01: unknown key"},
        tBadFixture{R"({"nodes": [], "open_set": "yes"})", "open_set: expected 0 or a non-zero integer"},
        tBadFixture{R"({"nodes": [], "heap_fails_after": -1})", "heap_fails_after: expected an unsigned"},
        tBadFixture{R"({"nodes": [7]})", "nodes[0]: expected an object"},
        tBadFixture{R"({"nodes": [{}]})", "nodes[0].id: required"},
        tBadFixture{R"({"nodes": [{"id": 5}]})", "nodes[0].id: expected a string"},
        tBadFixture{R"({"nodes": [{"id": "A", "started": 1}]})", "nodes[0].started: expected true or false"},
        tBadFixture{R"({"nodes": [{"id": "A", "id_result": 4294967296}]})", "nodes[0].id_result: expected an unsigned"},
        tBadFixture{R"({"nodes": [{"id": "A", "status_result": 1.5}]})", "nodes[0].status_result: expected"},
        tBadFixture{R"({"nodes": [{"id": "A", "boot_config": []}]})", "nodes[0].boot_config: expected an object"},
        tBadFixture{R"({"nodes": [{"id": "A", "boot_config": {"end_result": 0}}]})",
                    "nodes[0].boot_config.end_result: must not be 0"},
        tBadFixture{R"({"nodes": [{"id": "A", "boot_config": {"descriptors": {}}}]})",
                    "nodes[0].boot_config.descriptors: expected an array"},
        tBadFixture{R"({"nodes": [{"id": "A"}, {"id": "B", "boot_config": {"descriptors": [{"type": 6}, {"bsae": 1}]}}]})",
                    "nodes[1].boot_config.descriptors[1].bsae: unknown key"},
        tBadFixture{R"({"nodes": [{"id": "A", "boot_config": {"descriptors": [{"end": -63}]}}]})",
                    "nodes[0].boot_config.descriptors[0].end: expected an unsigned"},
        // Nothing may hide part of a fixture: text after the document, a key
        // given twice at any level (the parser would keep the last).
        tBadFixture{R"({"nodes": []} {"open_set": 1})", "(json): "},
        tBadFixture{R"({"nodes": [{"id": "A"}], "nodes": []})", "nodes: duplicate key"},
        tBadFixture{R"({"nodes": [{"id": "A", "started": true, "started": false}]})", "started: duplicate key"},
        tBadFixture{R"({"nodes": [{"id": "A", "boot_config": {"descriptors": [{"end": 1, "end": 2}]}}]})",
                    "end: duplicate key"},
        tBadFixture{R"({"nodes": [[{"k": 1}, {"k": 1, "": 2, "": 3}]]})", ": duplicate key"},
        // A duplicate is found wherever it is, even under a key refused later;
        // the first one in the text is named.
        tBadFixture{R"({"nodes": [], "extra": {"a": 1, "b": 1, "b": 2, "a": 2}})", "b: duplicate key"},
        // Each object has keys of its own: a key of an object already closed,
        // or of the object around it, is no duplicate.
        tBadFixture{R"({"nodes": [{"id": "A", "boot_config": {"result": 0}}], "result": 1})", "result: unknown key"},
        tBadFixture{R"({"nodes": [{"id": "A", "boot_config": {"id": "B"}}]})",
                    "nodes[0].boot_config.id: unknown key"},
        // Text that is no JSON document is named so, before any duplicate.
        tBadFixture{R"({"nodes": [], "nodes": []} x)", "(json): "},
        // An ID goes into the report: control characters would reach it raw.
        tBadFixture{R"({"nodes": [{"id": "ACPI\\PNP0A08\\0\u001b[2J"}]})", "nodes[0].id: holds a control character"},
        tBadFixture{R"({"nodes": [{"id": "A\u007f"}]})", "nodes[0].id: holds a control character"},
        // C1 controls too, raw or escaped, at both ends of their range.
        tBadFixture{"{\"nodes\": [{\"id\": \"\xc2\x80" "A\"}]}", "nodes[0].id: holds a control character"},
        tBadFixture{"{\"nodes\": [{\"id\": \"A\xc2\x9f\"}]}", "nodes[0].id: holds a control character"},
        tBadFixture{R"({"nodes": [{"id": "A\u0085B"}]})", "nodes[0].id: holds a control character"},
        tBadFixture{R"({"nodes": [{"id": "A\u009F"}]})", "nodes[0].id: holds a control character"},
        tBadFixture{R"({"nodes": [], "enum_error": -1})", "enum_error: expected an unsigned"}));

TEST(Fixture, NulEndsNothing) {
    // The parser would stop at the NUL and load the first document alone.
    const char raw[] = "{\"nodes\": []}\0{\"nodes\": [{\"id\": \"A\"}]}";
    const std::string text(raw, sizeof raw - 1);
    tSimTree tree;
    std::string error;
    EXPECT_FALSE(parseSimTree(text, tree, error));
    EXPECT_EQ(error, "(json): a NUL byte at offset 13");
}

// Past the C1 range, and other characters whose UTF-8 holds the bytes 80 to
// 9F, are text like any other.
TEST(Fixture, IdWithCharactersBeyondTheControlsIsKept) {
    for (const char* id : {"\xc2\xa0", "\xc4\x85", "\xe2\x82\x85", "\xf0\x9f\x98\x80"}) {
        tSimTree tree;
        std::string error;
        EXPECT_TRUE(parseSimTree(std::string(R"({"nodes": [{"id": "A)") + id + R"("}]})", tree, error)) << error;
        EXPECT_EQ(tree.nodes.at(0).id, std::string("A") + id);
    }
    tSimTree tree;
    std::string error;
    ASSERT_TRUE(parseSimTree(R"({"nodes": [{"id": "A\u00a0"}]})", tree, error)) << error;
    EXPECT_EQ(tree.nodes.at(0).id, "A\xc2\xa0");
}

TEST(Fixture, IdLongerThanTheBufferIsRefusedButExactlyTheBufferIsKept) {
    tSimTree tree;
    std::string error;
    const std::string exact(MAX_DEVICE_ID_LEN, 'x');
    EXPECT_TRUE(parseSimTree(R"({"nodes": [{"id": ")" + exact + R"("}]})", tree, error)) << error;
    EXPECT_EQ(tree.nodes.at(0).id, exact);
    EXPECT_FALSE(parseSimTree(R"({"nodes": [{"id": ")" + exact + R"(x"}]})", tree, error));
    EXPECT_EQ(error.rfind("nodes[0].id: longer than 200 bytes", 0), 0u) << error;
}

TEST(Fixture, EveryFieldIsLoaded) {
    const char* text = R"({"open_set": 1, "detail_query": true, "heap_fails_after": 2, "enum_error": 1784, "nodes": [
        {"id": "ACPI\\PNP0A08\\0", "id_result": 3, "started": true, "status_result": 4,
         "boot_config": {"result": 5, "end_result": 6, "descriptors": [
            {"type": 1, "result": 7, "base": 8, "end": 9, "size": 10, "size_result": 11, "data_result": 12}]}},
        {"id": "B"}]})";
    tSimTree tree;
    std::string error;
    ASSERT_TRUE(parseSimTree(text, tree, error)) << error;
    EXPECT_TRUE(tree.openSetFails);
    EXPECT_TRUE(tree.detailQueryFails);
    EXPECT_EQ(tree.heapFailsAfter, 2u);
    EXPECT_EQ(tree.enumError, 1784u);
    ASSERT_EQ(tree.nodes.size(), 2u);
    const tSimNode& first = tree.nodes[0];
    EXPECT_EQ(first.id, "ACPI\\PNP0A08\\0");
    EXPECT_EQ(first.idResult, 3u);
    EXPECT_TRUE(first.started);
    EXPECT_EQ(first.statusResult, 4u);
    ASSERT_TRUE(first.bootConfig.has_value());
    EXPECT_EQ(first.bootConfig->result, 5u);
    EXPECT_EQ(first.bootConfig->endResult, 6u);
    ASSERT_EQ(first.bootConfig->descriptors.size(), 1u);
    const tSimDescriptor& d = first.bootConfig->descriptors[0];
    EXPECT_EQ(d.type, 1u);
    EXPECT_EQ(d.result, 7u);
    EXPECT_EQ(d.base, 8u);
    EXPECT_EQ(d.end, 9u);
    EXPECT_EQ(d.size, 10u);
    EXPECT_EQ(d.sizeResult, 11u);
    EXPECT_EQ(d.dataResult, 12u);
    // Defaults: a node without settings is a readable, stopped node without
    // a boot configuration.
    const tSimNode& second = tree.nodes[1];
    EXPECT_EQ(second.idResult, 0u);
    EXPECT_FALSE(second.started);
    EXPECT_FALSE(second.bootConfig.has_value());
}

// ------------------------------------------------ the tree's own bookkeeping

tSimTree oneBridge() {
    return treeOf({bridge("ACPI\\PNP0A08\\0", false, {tSimDescriptor{}, tSimDescriptor{}})});
}

TEST(SimulatedTree, ReportsEverythingLeftHeld) {
    tSimulatedDeviceTree tree(oneBridge());
    HDEVINFO set = tree.services().SetupDiGetClassDevsA(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES);
    LOG_CONF logConf = 0;
    ASSERT_EQ(tree.services().CM_Get_First_Log_Conf(&logConf, 1, BOOT_LOG_CONF), CR_SUCCESS);
    RES_DES first = 0;
    RES_DES second = 0;
    RESOURCEID type = 0;
    ASSERT_EQ(tree.services().CM_Get_Next_Res_Des(&first, logConf, ResType_All, &type, 0), CR_SUCCESS);
    ASSERT_EQ(tree.services().CM_Get_Next_Res_Des(&second, first, ResType_All, &type, 0), CR_SUCCESS);
    EXPECT_EQ(tree.services().CM_Get_Next_Res_Des(&second, second, ResType_All, &type, 0), CR_NO_MORE_RES_DES);
    void* buffer = nullptr;
    {
        tEmulationScope scope(tree);
        tStatusBlock status = makeStatusBlock();
        buffer = allocateBuffer(20, status);
        ASSERT_NE(buffer, nullptr);
    }
    EXPECT_EQ(tree.leakReport(),
              "1 device set, 1 log-configuration handle, 2 descriptor handles, 1 descriptor buffer");

    EXPECT_TRUE(tree.services().SetupDiDestroyDeviceInfoList(set));
    EXPECT_EQ(tree.services().CM_Free_Res_Des_Handle(first), CR_SUCCESS);
    EXPECT_EQ(tree.services().CM_Free_Res_Des_Handle(second), CR_SUCCESS);
    EXPECT_EQ(tree.services().CM_Free_Log_Conf_Handle(logConf), CR_SUCCESS);
    tree.heap().release(buffer, tree.heap().context);
    EXPECT_EQ(tree.leakReport(), "");
}

TEST(SimulatedTree, CatchesDoubleReleaseAndUseAfterRelease) {
    tSimulatedDeviceTree tree(oneBridge());
    LOG_CONF logConf = 0;
    ASSERT_EQ(tree.services().CM_Get_First_Log_Conf(&logConf, 1, BOOT_LOG_CONF), CR_SUCCESS);
    RES_DES descriptor = 0;
    RESOURCEID type = 0;
    ASSERT_EQ(tree.services().CM_Get_Next_Res_Des(&descriptor, logConf, ResType_All, &type, 0), CR_SUCCESS);
    EXPECT_EQ(tree.services().CM_Free_Res_Des_Handle(descriptor), CR_SUCCESS);
    EXPECT_EQ(tree.services().CM_Free_Res_Des_Handle(descriptor), CR_INVALID_RES_DES);
    ULONG size = 0;
    EXPECT_EQ(tree.services().CM_Get_Res_Des_Data_Size(&size, descriptor, 0), CR_INVALID_RES_DES);
    // A log conf is no descriptor, and the other way round.
    EXPECT_EQ(tree.services().CM_Free_Res_Des_Handle(logConf), CR_INVALID_RES_DES);
    EXPECT_EQ(tree.services().CM_Free_Log_Conf_Handle(logConf), CR_SUCCESS);
    EXPECT_EQ(tree.services().CM_Free_Log_Conf_Handle(logConf), CR_INVALID_LOG_CONF);
    HDEVINFO set = tree.services().SetupDiGetClassDevsA(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES);
    EXPECT_TRUE(tree.services().SetupDiDestroyDeviceInfoList(set));
    EXPECT_FALSE(tree.services().SetupDiDestroyDeviceInfoList(set));
    EXPECT_EQ(tree.emulation().misuses(), 5u);
    EXPECT_EQ(tree.leakReport(), "5 invalid calls");
}

// The tree forgets released handles, but never hands their values out again:
// a stale handle from an earlier run is still caught after many more.
TEST(SimulatedTree, ReleasedHandlesStayInvalidAcrossLaterRuns) {
    tSimulatedDeviceTree tree(oneBridge());
    HDEVINFO staleSet = tree.services().SetupDiGetClassDevsA(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES);
    LOG_CONF staleLogConf = 0;
    ASSERT_EQ(tree.services().CM_Get_First_Log_Conf(&staleLogConf, 1, BOOT_LOG_CONF), CR_SUCCESS);
    EXPECT_TRUE(tree.services().SetupDiDestroyDeviceInfoList(staleSet));
    EXPECT_EQ(tree.services().CM_Free_Log_Conf_Handle(staleLogConf), CR_SUCCESS);
    for (int run = 0; run < 100; ++run) {
        HDEVINFO set = tree.services().SetupDiGetClassDevsA(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES);
        LOG_CONF logConf = 0;
        ASSERT_EQ(tree.services().CM_Get_First_Log_Conf(&logConf, 1, BOOT_LOG_CONF), CR_SUCCESS);
        EXPECT_NE(set, staleSet);
        EXPECT_NE(logConf, staleLogConf);
        EXPECT_EQ(tree.services().CM_Free_Log_Conf_Handle(logConf), CR_SUCCESS);
        EXPECT_TRUE(tree.services().SetupDiDestroyDeviceInfoList(set));
    }
    EXPECT_FALSE(tree.services().SetupDiDestroyDeviceInfoList(staleSet));
    EXPECT_EQ(tree.services().CM_Free_Log_Conf_Handle(staleLogConf), CR_INVALID_LOG_CONF);
    EXPECT_EQ(tree.emulation().setsOpened(), 101u);
    EXPECT_EQ(tree.leakReport(), "2 invalid calls");
}

TEST(SimulatedTree, HeapRunsOutAfterTheGivenNumberOfAllocations) {
    tSimTree simTree = oneBridge();
    simTree.heapFailsAfter = 2;
    tSimulatedDeviceTree tree(std::move(simTree));
    tEmulationScope scope(tree);
    tStatusBlock status = makeStatusBlock();
    // A zero size asks the heap for nothing and is no failure.
    EXPECT_EQ(allocateBuffer(0, status), nullptr);
    EXPECT_EQ(tree.allocations(), 0u);
    tBufferGuard first(8, status);
    tBufferGuard second(8, status);
    EXPECT_NE(first.get(), nullptr);
    EXPECT_NE(second.get(), nullptr);
    EXPECT_EQ(status.code, 0);
    tBufferGuard third(8, status);
    EXPECT_EQ(third.get(), nullptr);
    EXPECT_EQ(status.code, kStatusOutOfMemory);
    EXPECT_STREQ(status.component, "Rootscope");
    EXPECT_NE(std::string(status.file).find("Memory"), std::string::npos) << status.file;
    // Once the run holds an error the wrapper does not even ask the heap.
    tBufferGuard fourth(8, status);
    EXPECT_EQ(tree.allocations(), 3u);
}

// ------------------------------------------------------------- the driver

TEST(Survey, StartedCountStopsAtItsLargestValue) {
    tSimTree simTree;
    tSimNode started;
    started.id = "ACPI\\PNP0A08\\0";
    started.started = true;
    simTree.nodes = {started};
    tSimulatedDeviceTree tree(std::move(simTree));
    tEmulationScope scope(tree);
    tStatusBlock status = makeStatusBlock();
    std::uint16_t count = 65534;
    SP_DEVINFO_DATA record{};
    record.cbSize = sizeof record;
    record.DevInst = 1;
    countStartedRootBus(nullptr, record, 0, &count, status);
    EXPECT_EQ(count, 65535);
    countStartedRootBus(nullptr, record, 0, &count, status);
    EXPECT_EQ(count, 65535);
}

}  // namespace
}  // namespace nROOTSCOPE_1_0

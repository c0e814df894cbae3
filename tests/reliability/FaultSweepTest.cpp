// SPDX-License-Identifier: MIT
// Every call of a survey run made to fail, one at a time, with every failure
// that call can report: the run must still finish with a well-formed report,
// release everything, and come to the result the failure calls for.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <iostream>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "Fixture.h"
#include "SimTrees.h"
#include "SurveyRun.h"

namespace nROOTSCOPE_1_0 {
namespace {

// ---------------------------------------------------------------- the trees

tSimDescriptor other(RESOURCEID type) {
    tSimDescriptor d;
    d.type = type;
    d.size = 64;
    return d;
}

tSimNode unrelated(const char* id) {
    tSimNode node;
    node.id = id;
    node.started = true;
    node.bootConfig.emplace();
    node.bootConfig->descriptors = {other(ResType_Mem), other(ResType_IRQ)};
    return node;
}

struct tNamedTree {
    const char* name;
    tSimTree tree;
};

// Trees on which a clean run records nothing: every failure in a sweep over
// them is the injected one.
std::vector<tNamedTree> representativeTrees() {
    std::vector<tNamedTree> trees;

    tSimTree one;
    one.nodes = {bridge("ACPI\\PNP0A08\\0", true, {other(ResType_Mem), busNumbers(0, 63)})};
    trees.push_back({"one root bus, limited", one});

    tSimTree several;
    several.nodes = {bridge("ACPI\\PNP0A03\\0", true, {busNumbers(0, 127)}),
                     bridge("ACPI\\PNP0A08\\1", true, {other(ResType_IO), busNumbers(128, 255)}),
                     bridge("acpi\\pnp0a08\\2", true, {busNumbers(0, 255)})};
    trees.push_back({"several root buses", several});

    tSimTree phantoms;
    phantoms.nodes = {bridge("ACPI\\PNP0A08\\0", true, {busNumbers(0, 255)}),
                      bridge("ACPI\\PNP0A03\\1", false, {busNumbers(0, 31)}),
                      bridge("ACPI\\PNP0A08\\2", false, {other(ResType_Mem), busNumbers(64, 127)})};
    trees.push_back({"one started root bus and phantoms", phantoms});

    tSimTree descriptors;
    descriptors.nodes = {bridge("ACPI\\PNP0A08\\0", true,
                                {busNumbers(0, 15), other(ResType_Mem), busNumbers(0, 255), other(ResType_DMA),
                                 busNumbers(16, 31)})};
    trees.push_back({"several bus-number descriptors", descriptors});

    tSimTree mixed;
    mixed.nodes = {unrelated("PCI\\VEN_8086&DEV_1237\\0"),
                   bridge("ACPI\\PNP0A03\\0", true, {busNumbers(0, 63)}),
                   unrelated("ACPI\\PNP0A0\\1"),
                   unrelated("ACPI\\PNP0A08"),
                   bridge("ACPI\\PNP0A08\\1", false, {busNumbers(64, 255)}),
                   unrelated("USB\\ROOT_HUB30\\4")};
    trees.push_back({"unrelated nodes between root bridges", mixed});

    return trees;
}

// ---------------------------------------------------- what each fault does

struct tFaultRule {
    tSimCall call;
    CONFIGRET result;
    std::optional<std::int32_t> error;  // the run's error code, or none
};

// In a run that is otherwise clean, the one failure decides the result:
// failures inside the read of one descriptor, of an ID or of a node status,
// and the "no more" answers, only change what is shown; failures to open,
// describe, enumerate or walk, and an exhausted heap, end the run with an
// error.
const tFaultRule kRules[] = {
    {tSimCall::OpenSet, CR_FAILURE, kStatusConfigQueryFailed},
    {tSimCall::DescribeSet, CR_FAILURE, kStatusConfigQueryFailed},
    {tSimCall::EnumerateSet, CR_FAILURE, kStatusConfigQueryFailed},
    {tSimCall::EnumerateSet, static_cast<CONFIGRET>(ERROR_NO_MORE_ITEMS), std::nullopt},
    {tSimCall::DestroySet, CR_FAILURE, std::nullopt},
    {tSimCall::ReadId, CR_FAILURE, std::nullopt},
    {tSimCall::ReadId, CR_BUFFER_SMALL, std::nullopt},
    {tSimCall::QueryStatus, CR_FAILURE, std::nullopt},
    {tSimCall::FirstLogConf, CR_FAILURE, kStatusConfigQueryFailed},
    {tSimCall::FirstLogConf, CR_NO_MORE_LOG_CONF, std::nullopt},
    {tSimCall::NextResDes, CR_FAILURE, kStatusConfigQueryFailed},
    {tSimCall::NextResDes, CR_NO_MORE_RES_DES, std::nullopt},
    {tSimCall::ResDesDataSize, CR_FAILURE, std::nullopt},
    {tSimCall::ResDesData, CR_FAILURE, std::nullopt},
    {tSimCall::FreeResDes, CR_FAILURE, std::nullopt},
    {tSimCall::FreeLogConf, CR_FAILURE, std::nullopt},
    {tSimCall::Allocate, CR_FAILURE, kStatusOutOfMemory},
};

// Failure points over every run of the sweep, printed once at the end.
std::uint64_t gFaultPoints = 0;

class FaultSweep : public testing::Test {
protected:
    static void TearDownTestSuite() {
        std::cout << "[ fault sweep ] " << gFaultPoints << " single-fault runs (call x failure)" << std::endl;
    }
    void TearDown() override { RecordProperty("fault_points", std::to_string(points_)); }

    // Fails each call of a clean run of `tree` in turn with each failure
    // the rules list for it. With `ruled`, the result must also be the one
    // the rule gives; otherwise (trees with failures of their own) the call
    // log's verdict alone decides.
    void sweep(const std::string& name, const tSimTree& tree, bool ruled) {
        const tSurveyRun clean = runSurvey(tree);
        ASSERT_EQ(checkRun(clean), "") << name << ", clean run";
        if (ruled) {
            ASSERT_EQ(clean.exitCode, 0) << name << ": the representative trees run clean";
        }
        std::set<tSimCall> seen;
        for (std::size_t k = 1; k <= clean.log.size(); ++k) {
            const tSimCall call = clean.log[k - 1].call;
            seen.insert(call);
            for (const tFaultRule& rule : kRules) {
                if (rule.call != call) {
                    continue;
                }
                ++points_;
                ++gFaultPoints;
                const tFaultPlan plan{{k, rule.result}};
                const tSurveyRun run = runSurvey(tree, plan);
                const std::string context = name + ": call " + std::to_string(k) + " " + simCallName(call) +
                                            " fails with " + std::to_string(rule.result) +
                                            "\ncalls: " + describe(run.log) + "\nreport:\n" + run.report;
                ASSERT_GE(run.log.size(), k) << context;
                EXPECT_TRUE(run.log[k - 1].injected && run.log[k - 1].call == call)
                    << context << "\nthe calls before the fault must be those of the clean run";
                EXPECT_EQ(checkRun(run), "") << context;
                if (ruled) {
                    if (rule.error) {
                        EXPECT_EQ(run.status.code, *rule.error) << context;
                    } else {
                        EXPECT_FALSE(run.status.isError()) << context;
                    }
                    EXPECT_EQ(run.exitCode, rule.error ? 1 : 0) << context;
                }
                if (HasFailure()) {
                    return;  // one broken fault point tells enough
                }
            }
        }
        // Each representative tree must exercise the reads that matter.
        if (ruled) {
            for (const tSimCall call : {tSimCall::OpenSet, tSimCall::ReadId, tSimCall::QueryStatus,
                                        tSimCall::FirstLogConf, tSimCall::NextResDes, tSimCall::ResDesDataSize,
                                        tSimCall::ResDesData, tSimCall::Allocate}) {
                EXPECT_TRUE(seen.count(call)) << name << " never calls " << simCallName(call);
            }
        }
    }

    std::uint64_t points_ = 0;
};

TEST_F(FaultSweep, RepresentativeTrees) {
    for (const tNamedTree& named : representativeTrees()) {
        sweep(named.name, named.tree, true);
        if (HasFailure()) {
            return;
        }
    }
}

#ifdef ROOTSCOPE_GOLDEN_TREES
// The golden fixtures hold failures of their own (descriptors whose data
// cannot be read, walks that end in an error); faults on top of those are
// judged by the call log.
TEST_F(FaultSweep, GoldenFixtures) {
    const std::filesystem::path directory(ROOTSCOPE_GOLDEN_TREES);
    if (!std::filesystem::is_directory(directory)) {
        GTEST_SKIP() << "no golden fixtures at " << directory;
    }
    std::vector<std::filesystem::path> files;
    for (const auto& entry : std::filesystem::directory_iterator(directory)) {
        if (entry.path().extension() == ".json") {
            files.push_back(entry.path());
        }
    }
    std::sort(files.begin(), files.end());
    ASSERT_FALSE(files.empty());
    for (const auto& file : files) {
        tSimTree tree;
        std::string error;
        ASSERT_TRUE(loadSimTree(file.string(), tree, error)) << error;
        sweep(file.filename().string(), tree, false);
        if (HasFailure()) {
            return;
        }
    }
}
#endif

}  // namespace
}  // namespace nROOTSCOPE_1_0

// SPDX-License-Identifier: MIT
// The Linux host's services, wrapped for fault injection, under a survey of
// machines laid out as Linux lays out /sys: every call and every allocation
// of a clean run failed in turn, and the heap run dry at every point. Each
// run must give a well-formed report or a clean failure, hold nothing, and
// never pass a failure that ends the device work off as "no errors".
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "FaultInjectingServices.h"
#include "LinuxHostReader.h"
#include "SurveyRun.h"

namespace nROOTSCOPE_1_0 {
namespace {

struct tHostPlan {
    std::uint64_t call = 0;  // none when 0
    CONFIGRET result = CR_FAILURE;
    std::optional<std::uint64_t> heapFailsAfter;
};

tSurveyRun runHostSurvey(const std::string& root, const tHostPlan& plan, const tExpectation& expected) {
    tSurveyRun run;
    run.expected = expected;
    run.faulted = plan.call != 0 || plan.heapFailsAfter.has_value();
    tLinuxHostDeviceServices host(root);
    tFaultInjectingServices faults(host.emulation());
    host.emulation().useAllocator(faults.allocator());
    if (plan.call != 0) {
        faults.failCall(plan.call, plan.result);
    }
    if (plan.heapFailsAfter) {
        faults.exhaustHeapAfter(*plan.heapFailsAfter);
    }
    runSurveyWithin(faults, host.emulation().heap(), run);
    run.leaks += host.leakReport();
    run.log = faults.callLog();
    return run;
}

// The failures worth trying on a call of each kind besides CR_FAILURE: the
// answers that end a walk early without an error.
std::vector<CONFIGRET> failuresOf(tSimCall call) {
    switch (call) {
        case tSimCall::EnumerateSet: return {CR_FAILURE, static_cast<CONFIGRET>(ERROR_NO_MORE_ITEMS)};
        case tSimCall::FirstLogConf: return {CR_FAILURE, CR_NO_MORE_LOG_CONF};
        case tSimCall::NextResDes: return {CR_FAILURE, CR_NO_MORE_RES_DES};
        case tSimCall::ReadId: return {CR_FAILURE, CR_BUFFER_SMALL};
        default: return {CR_FAILURE};
    }
}

class HostFaultSweep : public testing::TestWithParam<const char*> {};

TEST_P(HostFaultSweep, EveryCallAndTheHeapFailedInTurn) {
    const std::string root = std::string(ROOTSCOPE_SYSROOTS_DIR) + "/" + GetParam();
    // The clean run is its own expectation: the goldens hold its report.
    tSurveyRun clean = runHostSurvey(root, {}, {});
    tReportShape shape;
    std::string unparsed;
    ASSERT_TRUE(parseReport(clean.report, shape, unparsed)) << root << ": " << unparsed;
    clean.expected.report = shape;
    for (const tDetailsBlock& block : shape.details) {
        clean.expected.bridges.push_back(block.id);
    }
    ASSERT_EQ(checkRun(clean), "") << root;
    ASSERT_FALSE(shape.details.empty()) << root << ": a machine with a root bus to read";

    std::vector<tHostPlan> plans;
    for (std::uint64_t k = 1; k <= clean.log.size(); ++k) {
        for (const CONFIGRET result : failuresOf(clean.log[k - 1].call)) {
            plans.push_back({k, result, std::nullopt});
        }
    }
    std::uint64_t allocations = 0;
    for (const tSimCallRecord& record : clean.log) {
        allocations += record.call == tSimCall::Allocate ? 1 : 0;
    }
    ASSERT_GT(allocations, 0u) << root << ": the survey reads a descriptor";
    for (std::uint64_t n = 0; n < allocations; ++n) {
        plans.push_back({0, CR_FAILURE, n});
    }

    RecordProperty("fault_points", std::to_string(plans.size()));
    for (const tHostPlan& plan : plans) {
        const tSurveyRun run = runHostSurvey(root, plan, clean.expected);
        const std::string context = root + ": " +
                                    (plan.call != 0 ? "call " + std::to_string(plan.call) + " " +
                                                          simCallName(clean.log[plan.call - 1].call) + " fails with " +
                                                          std::to_string(plan.result)
                                                    : "heap dry after " + std::to_string(*plan.heapFailsAfter)) +
                                    "\ncalls: " + describe(run.log) + "\nreport:\n" + run.report;
        EXPECT_EQ(checkRun(run), "") << context;
        if (plan.call != 0) {
            ASSERT_GE(run.log.size(), plan.call) << context;
            EXPECT_TRUE(run.log[plan.call - 1].injected) << context << "\nthe calls before it must be the clean run's";
        }
        if (HasFailure()) {
            return;  // one broken fault point tells enough
        }
    }
}

INSTANTIATE_TEST_SUITE_P(GoldenSysroots, HostFaultSweep,
                         testing::Values("one_bus", "phantom", "two_domains", "this_vm"),
                         [](const testing::TestParamInfo<const char*>& param) { return std::string(param.param); });

}  // namespace
}  // namespace nROOTSCOPE_1_0

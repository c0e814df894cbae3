// Every allocation of a survey over the Linux host reader failed in turn:
// each run must end with the normal report and exit 0, or with the error
// result and exit 1; never abort, and leave nothing allocated or open.
//
// This program replaces operator new, so it is a program of its own.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <new>
#include <string>

#include "LinuxHostReader.h"
#include "OpenDescriptors.h"
#include "RootBusSurvey.h"
#include "SimulatedDeviceTree.h"

namespace {

// Allocation number `gFailAt` (counting from 1 while armed) fails.
bool gArmed = false;
std::uint64_t gAllocations = 0;
std::uint64_t gFailAt = 0;
std::int64_t gLive = 0;

void* allocate(std::size_t size) {
    if (gArmed && ++gAllocations == gFailAt) {
        return nullptr;
    }
    void* block = std::malloc(size != 0 ? size : 1);
    gLive += block != nullptr ? 1 : 0;
    return block;
}

void release(void* block) {
    gLive -= block != nullptr ? 1 : 0;
    std::free(block);
}

}  // namespace

void* operator new(std::size_t size) {
    if (void* block = allocate(size)) {
        return block;
    }
    throw std::bad_alloc();
}
void* operator new[](std::size_t size) {
    return operator new(size);
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    return allocate(size);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    return allocate(size);
}
void operator delete(void* block) noexcept {
    release(block);
}
void operator delete[](void* block) noexcept {
    release(block);
}
void operator delete(void* block, std::size_t) noexcept {
    release(block);
}
void operator delete[](void* block, std::size_t) noexcept {
    release(block);
}

namespace nROOTSCOPE_1_0 {
namespace {

struct tRun {
    int exitCode = -1;
    std::int64_t blocksLeft = 0;  // allocated during the survey, never freed
    std::string report;
};

// One survey of the sysroot, its report read back from a scratch file. With
// `armed`, allocation number gFailAt of the survey fails.
tRun survey(const std::string& root, std::FILE* scratch, bool armed) {
    std::rewind(scratch);
    tRun run;
    const std::int64_t live = gLive;
    {
        tLinuxHostDeviceServices services(root);
        tEmulationScope scope(services);
        gAllocations = 0;
        gArmed = armed;
        run.exitCode = runRootBusSurvey(scratch, nullptr);
        gArmed = false;
    }
    run.blocksLeft = gLive - live;
    const long length = std::ftell(scratch);
    run.report.resize(length > 0 ? static_cast<std::size_t>(length) : 0);
    std::rewind(scratch);
    run.report.resize(std::fread(run.report.data(), 1, run.report.size(), scratch));
    return run;
}

class AllocationFailure : public testing::TestWithParam<const char*> {};

TEST_P(AllocationFailure, EveryAllocationOfAHostScanFailedInTurn) {
    const std::string root = std::string(ROOTSCOPE_SYSROOTS_DIR) + "/" + GetParam();
    std::FILE* scratch = std::tmpfile();
    ASSERT_NE(scratch, nullptr);
    const tRun clean = survey(root, scratch, false);
    ASSERT_EQ(clean.exitCode, 0) << clean.report;

    const int descriptors = openDescriptors();
    std::uint64_t failures = 0;
    for (gFailAt = 1;; ++gFailAt) {
        const tRun run = survey(root, scratch, true);
        if (gAllocations < gFailAt) {
            break;  // the run made fewer allocations: every one has failed once
        }
        ++failures;
        const std::string where = "allocation " + std::to_string(gFailAt) + "\n" + run.report;
        if (run.exitCode == 0) {
            EXPECT_EQ(run.report, clean.report) << where;
        } else {
            EXPECT_EQ(run.exitCode, 1) << where;
            const bool errorResult =
                run.report.ends_with("This utility ran with error(s).\nResult code: -313569\n") ||
                run.report.ends_with("This utility ran with error(s).\nResult code: -52000\n");
            EXPECT_TRUE(errorResult) << where;
        }
        EXPECT_EQ(run.blocksLeft, 0) << "blocks left allocated, " << where;
        EXPECT_EQ(openDescriptors(), descriptors) << "descriptors left open, " << where;
        if (HasFailure()) {
            break;
        }
    }
    std::fclose(scratch);
    EXPECT_GT(failures, 20u) << "a scan of a machine allocates more than that";
    RecordProperty("allocations_failed", std::to_string(failures));
}

// A kernel log with the range, and an iomem window shared by three bridges.
INSTANTIATE_TEST_SUITE_P(Sysroots, AllocationFailure, testing::Values("kernel_log_range", "shared_ecam"));

}  // namespace
}  // namespace nROOTSCOPE_1_0

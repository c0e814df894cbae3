// SPDX-License-Identifier: MIT
// The report reaches its stream before the wait for Enter, and a report that
// cannot be written is never a success: the run exits with 1 and says why in
// one line on standard error, whatever the survey found.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "RootBusSurvey.h"
#include "SimTrees.h"
#include "SimulatedDeviceTree.h"

namespace nROOTSCOPE_1_0 {
namespace {

// An input stream that, when first read, notes what the output file holds
// at that moment: what reached it, not what waits in the stream's buffer.
struct tWaitProbe {
    std::FILE* out;
    std::string_view input;
    std::string outputAtTheRead;
    int reads = 0;
};

ssize_t readAndLookAtTheOutput(void* cookie, char* buffer, std::size_t size) {
    auto& probe = *static_cast<tWaitProbe*>(cookie);
    if (probe.reads++ == 0) {
        char held[65536];
        const ssize_t length = ::pread(::fileno(probe.out), held, sizeof held, 0);
        probe.outputAtTheRead.assign(held, length > 0 ? static_cast<std::size_t>(length) : 0);
    }
    const std::size_t n = probe.input.copy(buffer, size);
    probe.input.remove_prefix(n);
    return static_cast<ssize_t>(n);
}

TEST(ReportOutput, WholeReportIsOnTheOutputBeforeTheWaitReadsOneCharacter) {
    std::FILE* out = std::tmpfile();
    ASSERT_NE(out, nullptr);
    tWaitProbe probe{out, "\nrest", {}, 0};
    std::FILE* in = ::fopencookie(&probe, "r", {readAndLookAtTheOutput, nullptr, nullptr, nullptr});
    ASSERT_NE(in, nullptr);
    tSimulatedDeviceTree tree(treeOf({bridge("ACPI\\PNP0A08\\0", true, {busNumbers(0, 255)})}));
    {
        tEmulationScope scope(tree);
        EXPECT_EQ(runRootBusSurvey(out, in), 0);
    }
    EXPECT_EQ(std::fgetc(in), 'r');  // only the Enter was taken
    std::rewind(out);
    std::string report(65536, '\0');
    report.resize(std::fread(report.data(), 1, report.size(), out));
    EXPECT_TRUE(report.ends_with("Status: Device is running\n\n\nThis utility ran with no errors.\n")) << report;
    EXPECT_EQ(probe.outputAtTheRead, report) << "on the output when the wait began";
    std::fclose(in);
    std::fclose(out);
}

// The ways a report stream can be broken, each with the reason it gives.
enum class tBroken { kFullDevice, kPipeWithoutReader, kClosedDescriptor };

struct tLostCase {
    const char* name;
    tBroken broken;
    int reason;
};

void PrintTo(const tLostCase& c, std::ostream* os) {
    *os << c.name;
}

// A stream whose writes fail as `broken` says; null when it cannot be made.
std::FILE* brokenStream(tBroken broken) {
    switch (broken) {
        case tBroken::kFullDevice:
            return std::fopen("/dev/full", "w");
        case tBroken::kPipeWithoutReader: {
            int ends[2];
            if (::pipe(ends) != 0) {
                return nullptr;
            }
            ::close(ends[0]);
            return ::fdopen(ends[1], "w");
        }
        case tBroken::kClosedDescriptor: {
            std::FILE* stream = ::fdopen(::open("/dev/null", O_WRONLY | O_CLOEXEC), "w");
            if (stream != nullptr) {
                ::close(::fileno(stream));  // the stream outlives its descriptor
            }
            return stream;
        }
    }
    return nullptr;
}

class LostReport : public testing::TestWithParam<tLostCase> {};

TEST_P(LostReport, ExitsWithOneAndSaysWhy) {
    // A reader that is gone raises SIGPIPE first; with it ignored, as a
    // shell may leave it, the write fails with EPIPE instead.
    const auto previous = std::signal(SIGPIPE, SIG_IGN);
    // Capturing opens a file of its own: first, so that it cannot take the
    // number of the descriptor closed under the stream.
    testing::internal::CaptureStderr();
    std::FILE* out = brokenStream(GetParam().broken);
    if (out == nullptr) {
        testing::internal::GetCapturedStderr();
        FAIL() << "no broken stream: " << std::strerror(errno);
    }
    // Two root buses and their details.
    tSimulatedDeviceTree tree(treeOf({bridge("ACPI\\PNP0A03\\0", true, {busNumbers(0, 127)}),
                                      bridge("ACPI\\PNP0A08\\1", true, {busNumbers(128, 255)})}));
    tStatusBlock status = makeStatusBlock();
    int exitCode = -1;
    {
        tEmulationScope scope(tree);
        exitCode = runRootBusSurvey(out, nullptr, &status);
    }
    const std::string errors = testing::internal::GetCapturedStderr();
    std::fclose(out);
    std::signal(SIGPIPE, previous);

    EXPECT_EQ(exitCode, 1);
    EXPECT_EQ(errors, std::string("rootscope: cannot write the report: ") + std::strerror(GetParam().reason) + "\n");
    EXPECT_EQ(status.code, 0) << "the survey itself went well";
    EXPECT_EQ(tree.leakReport(), "");
}

INSTANTIATE_TEST_SUITE_P(Streams, LostReport,
                         testing::Values(tLostCase{"full_device", tBroken::kFullDevice, ENOSPC},
                                         tLostCase{"pipe_without_reader", tBroken::kPipeWithoutReader, EPIPE},
                                         tLostCase{"closed_descriptor", tBroken::kClosedDescriptor, EBADF}),
                         [](const testing::TestParamInfo<tLostCase>& param) { return std::string(param.param.name); });

}  // namespace
}  // namespace nROOTSCOPE_1_0

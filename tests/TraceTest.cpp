// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <tuple>
#include <type_traits>
#include <vector>

#include "Trace.h"

namespace nHALDOR_1_0::nVORAL000 {
namespace {

using std::string;

std::vector<string> gWrites;

void recordWrite(const char* text) {
    gWrites.emplace_back(text);
}

// Sees debugger output as a list of writes, one per call.
template <typename tBase>
class tCapturing : public tBase {
protected:
    void SetUp() override {
        gWrites.clear();
        previous_ = useDebugOutputSink(recordWrite);
    }
    void TearDown() override { useDebugOutputSink(previous_); }

private:
    tDebugOutputSink previous_ = nullptr;
};

constexpr char kOption[] = " --destination voral";
const string kOptionWhole(kOption, sizeof kOption);
const string kNul(1, '\0');

// Each row: buffer length, what the buffer then holds, offset of the returned position.
class TraceOptionText : public testing::TestWithParam<std::tuple<std::uint32_t, string, std::size_t>> {};

TEST_P(TraceOptionText, CopiesCutsTerminatesAndNeverWritesPastTheBuffer) {
    const auto& [length, holds, stop] = GetParam();
    std::vector<char> buffer(length + 8, '#');
    std::uint32_t required = 0;
    EXPECT_EQ(gConsoleTraceDestination.getOptionText(buffer.data(), length, &required), buffer.data() + stop);
    EXPECT_EQ(required, 21u);
    EXPECT_EQ(string(buffer.data(), holds.size()), holds);
    EXPECT_EQ(string(buffer.data() + length, 8), string(8, '#'));
}

INSTANTIATE_TEST_SUITE_P(
    AroundTheTextLength, TraceOptionText,
    testing::Values(std::make_tuple(0u, "", 0u), std::make_tuple(1u, kNul, 1u), std::make_tuple(2u, " " + kNul, 2u),
                    std::make_tuple(19u, " --destination vor" + kNul, 19u),
                    std::make_tuple(20u, " --destination vora" + kNul, 20u), std::make_tuple(21u, kOptionWhole, 20u),
                    std::make_tuple(22u, kOptionWhole + kNul, 20u),
                    std::make_tuple(23u, kOptionWhole + "#" + kNul, 20u),
                    std::make_tuple(64u, kOptionWhole + string(42, '#') + kNul, 20u)));

TEST(TraceOptionTextWithout, NullBufferReturnsNullAndStillReportsTheSize) {
    std::uint32_t required = 0;
    EXPECT_EQ(gConsoleTraceDestination.getOptionText(nullptr, 64, &required), nullptr);
    EXPECT_EQ(required, 21u);
    char buffer[32] = {};
    EXPECT_EQ(gConsoleTraceDestination.getOptionText(buffer, sizeof buffer, nullptr), buffer + 20);
    EXPECT_STREQ(buffer, kOption);
}

class TraceDecimal : public testing::TestWithParam<std::tuple<std::uint64_t, string>> {};

TEST_P(TraceDecimal, WritesDigitsAndReturnsTheTerminator) {
    const auto& [value, digits] = GetParam();
    char buffer[32];
    std::memset(buffer, '#', sizeof buffer);
    char* end = uintToDecimal(buffer, value);
    EXPECT_EQ(buffer, digits);
    EXPECT_EQ(end, buffer + digits.size());
    EXPECT_EQ(end[1], '#');
}

INSTANTIATE_TEST_SUITE_P(Edges, TraceDecimal,
                         testing::Values(std::make_tuple(0u, "0"), std::make_tuple(10u, "10"),
                                         std::make_tuple(4294967296u, "4294967296"),
                                         std::make_tuple(UINT64_MAX, "18446744073709551615")));

// Each row: text length formatted, what debugPrintf returns, how much is written.
class TraceDebugPrintf : public tCapturing<testing::TestWithParam<std::tuple<std::size_t, int, std::size_t>>> {};

TEST_P(TraceDebugPrintf, CutsAt1023AndSaysWhenTheTextDidNotFit) {
    const auto& [length, returns, written] = GetParam();
    const string text(length, 'x');
    EXPECT_EQ(debugPrintf("%s", text.c_str()), returns);
    EXPECT_EQ(gWrites, std::vector<string>{text.substr(0, written)});
}

INSTANTIATE_TEST_SUITE_P(AroundTheBuffer, TraceDebugPrintf,
                         testing::Values(std::make_tuple(0u, 0, 0u), std::make_tuple(1022u, 1022, 1022u),
                                         std::make_tuple(1023u, 1023, 1023u), std::make_tuple(1024u, -1, 1023u),
                                         std::make_tuple(5000u, -1, 1023u)));

// Each row: text, count, what is written.
class TraceCountedWrite
    : public tCapturing<testing::TestWithParam<std::tuple<string, std::uint32_t, string>>> {};

TEST_P(TraceCountedWrite, WritesAtMostTheCountInOneWrite) {
    const auto& [text, length, written] = GetParam();
    iTraceDestination& destination = gConsoleTraceDestination;
    EXPECT_EQ(&destination.writeCounted(text.c_str(), length), &destination);
    EXPECT_EQ(gWrites, std::vector<string>{written});
}

INSTANTIATE_TEST_SUITE_P(Counts, TraceCountedWrite,
                         testing::Values(std::make_tuple("abcdef", 3u, "abc"), std::make_tuple("abcdef", 0u, ""),
                                         std::make_tuple("abc", 10u, "abc"), std::make_tuple("wxyz%s%n", 4u, "wxyz"),
                                         std::make_tuple("12345678901", 10u, "1234567890")));

using TraceWrite = tCapturing<testing::Test>;

TEST_F(TraceWrite, FormatsArgumentsButNeverTakesTextAsAFormat) {
    EXPECT_EQ(debugPrintf("%d-%s", 42, "x"), 4);
    iTraceDestination& destination = gConsoleTraceDestination;
    EXPECT_EQ(&destination.write("100% %s %n"), &destination);
    EXPECT_EQ(gWrites, (std::vector<string>{"42-x", "100% %s %n"}));
}

// The state's order is fixed; a reordered field fails to compile.
static_assert(std::is_standard_layout_v<tTraceState>);
static_assert(offsetof(tTraceState, destination) < offsetof(tTraceState, live) &&
              offsetof(tTraceState, live) < offsetof(tTraceState, options) &&
              offsetof(tTraceState, options) < offsetof(tTraceState, lockCreated) &&
              offsetof(tTraceState, lockCreated) < offsetof(tTraceState, moreOptions) &&
              offsetof(tTraceState, moreOptions) < offsetof(tTraceState, setting) &&
              offsetof(tTraceState, setting) < offsetof(tTraceState, lock) &&
              offsetof(tTraceState, lock) < offsetof(tTraceState, text) &&
              offsetof(tTraceState, text) < offsetof(tTraceState, writePosition));
static_assert(sizeof(tTraceState::text) == 256);

TEST(TraceObject, ProcessWideObjectStartsBoundLiveWithTheLockNotCreated) {
    const tTraceState& state = gTrace.state();
    EXPECT_EQ(state.destination, &gConsoleTraceDestination);
    EXPECT_EQ(state.live, 1);
    const std::uint8_t options[8] = {1, 0, 1, 1, 0, 0, 0, 0};
    EXPECT_EQ(std::memcmp(state.options, options, sizeof options), 0);
    EXPECT_EQ(state.lockCreated, 0);
    EXPECT_EQ(state.moreOptions[0] + state.moreOptions[1], 2);
    EXPECT_EQ(state.setting, 50u);
    EXPECT_EQ(state.writePosition, state.text);
}

// What the probe saw: each event, with the trace object's flags at that moment.
string gTeardown;

void recordTeardown(tTeardownEvent event, const tTrace* trace) {
    static const char* const kNames[] = {"destination", "lock-deleted", "trace"};
    gTeardown += kNames[static_cast<int>(event)];
    if (trace != nullptr) {
        gTeardown += " live=" + std::to_string(trace->state().live) +
                     " lock=" + std::to_string(trace->state().lockCreated) +
                     " bound=" + std::to_string(trace->state().destination == &gConsoleTraceDestination);
    }
    gTeardown += "\n";
}

// Each row: whether the lock is created before teardown, what teardown does.
class TraceTeardown : public testing::TestWithParam<std::tuple<bool, string>> {};

TEST_P(TraceTeardown, ClearsLiveAndDeletesTheLockOnlyWhenCreated) {
    const auto& [createLock, seen] = GetParam();
    gTeardown.clear();
    const tTeardownProbe previous = useTeardownProbe(recordTeardown);
    {
        tTrace trace(gConsoleTraceDestination);
        if (createLock) {
            trace.createLock();
            trace.createLock();
        }
    }
    useTeardownProbe(previous);
    EXPECT_EQ(gTeardown, seen);
}

INSTANTIATE_TEST_SUITE_P(LockStates, TraceTeardown,
                         testing::Values(std::make_tuple(false, "trace live=0 lock=0 bound=1\n"),
                                         std::make_tuple(true, "lock-deleted live=0 lock=0 bound=1\n"
                                                               "trace live=0 lock=0 bound=1\n")));

void printTeardown(tTeardownEvent event, const tTrace* trace) {
    gTeardown.clear();
    recordTeardown(event, trace);
    std::fputs(gTeardown.c_str(), stderr);
}

// The process-wide objects go at exit, destination first, and the trace
// object finds its lock never created. Seen on a child process's stderr.
TEST(TraceTeardownAtExit, DestinationGoesFirstThenTheTraceObject) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            useTeardownProbe(printTeardown);
            std::exit(0);
        },
        testing::ExitedWithCode(0), "^destination\ntrace live=0 lock=0 bound=1\n$");
}

}  // namespace
}  // namespace nHALDOR_1_0::nVORAL000

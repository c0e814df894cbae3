// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "StatusBlock.h"

namespace nROOTSCOPE_1_0 {
namespace {

constexpr const char kDevMgr[] = "source/user/Detect/DevMgr.cpp";

tStatusBlock blockWith(std::int32_t code, const char* component = kStatusComponent, const char* file = kDevMgr,
                       std::int32_t line = 386) {
    tStatusBlock block = makeStatusBlock();
    block.setCode(code, component, file, line);
    return block;
}

bool sameBytes(const tStatusBlock& a, const tStatusBlock& b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

TEST(StatusBlock, EmptyBlockDeclaresItsSizeAndHoldsNothing) {
    const tStatusBlock block = makeStatusBlock();
    EXPECT_EQ(block.declaredSize, sizeof block);
    EXPECT_EQ(block.code, 0);
    EXPECT_FALSE(block.isError());
    EXPECT_FALSE(block.isWarning());
    EXPECT_STREQ(block.component, "");
    EXPECT_STREQ(block.file, "");
    EXPECT_EQ(block.line, 0);
    for (std::uint64_t word : block.extension) {
        EXPECT_EQ(word, 0u);
    }
}

// Each row: the code the block holds, the code offered, whether it is taken.
struct tPrecedenceCase {
    std::int32_t held;
    std::int32_t offered;
    bool taken;
};

void PrintTo(const tPrecedenceCase& c, std::ostream* os) {
    *os << "held " << c.held << ", offered " << c.offered;
}

class StatusBlockPrecedence : public testing::TestWithParam<tPrecedenceCase> {};

TEST_P(StatusBlockPrecedence, FollowsErrorsOverWarningsAndFirstErrorIsFinal) {
    const tPrecedenceCase c = GetParam();
    tStatusBlock block = c.held == 0 ? makeStatusBlock() : blockWith(c.held, "Held", "held.cpp", 1);
    const tStatusBlock before = block;
    EXPECT_EQ(block.setCode(c.offered, "Offered", "offered.cpp", 2), c.taken);
    if (c.taken) {
        EXPECT_EQ(block.code, c.offered);
        EXPECT_STREQ(block.component, "Offered");
        EXPECT_STREQ(block.file, "offered.cpp");
        EXPECT_EQ(block.line, 2);
    } else {
        EXPECT_TRUE(sameBytes(block, before));
    }
}

INSTANTIATE_TEST_SUITE_P(AllPairs, StatusBlockPrecedence,
                         testing::Values(tPrecedenceCase{0, 52006, true}, tPrecedenceCase{0, -313569, true},
                                         tPrecedenceCase{0, 0, false}, tPrecedenceCase{52006, 313569, false},
                                         tPrecedenceCase{52006, 52006, false}, tPrecedenceCase{52006, 0, false},
                                         tPrecedenceCase{52006, -313569, true}, tPrecedenceCase{-313569, -52000, false},
                                         tPrecedenceCase{-313569, 52006, false}, tPrecedenceCase{-52000, 0, false}));

TEST(StatusBlock, NewCodeClearsOnlyTheFirstExtensionWord) {
    tStatusBlock block = makeStatusBlock();
    for (std::uint64_t& word : block.extension) {
        word = 0xABCDu;
    }
    ASSERT_TRUE(block.setCode(-52000, kStatusComponent, "Memory.h", 378));
    EXPECT_EQ(block.extension[0], 0u);
    for (std::size_t i = 1; i < kStatusExtensionWords; ++i) {
        EXPECT_EQ(block.extension[i], 0xABCDu) << "word " << i;
    }
}

TEST(StatusBlock, PlaceTextsAreCutAndZeroFilled) {
    const std::string longFile(150, 'f');
    tStatusBlock block = makeStatusBlock();
    std::memset(block.component, 'x', sizeof block.component);
    std::memset(block.file, 'x', sizeof block.file);
    ASSERT_TRUE(block.setCode(-1, "TwelveChars!", longFile.c_str(), 7));
    EXPECT_EQ(std::string(block.component), "TwelveCha");
    EXPECT_EQ(std::string(block.file), std::string(100, 'f'));

    ASSERT_TRUE(makeStatusBlock().setCode(1, "ab", "c", 1));
    tStatusBlock shortTexts = makeStatusBlock();
    std::memset(shortTexts.component, 'x', sizeof shortTexts.component);
    std::memset(shortTexts.file, 'x', sizeof shortTexts.file);
    ASSERT_TRUE(shortTexts.setCode(1, "ab", "c", 1));
    for (std::size_t i = 2; i < kStatusComponentChars; ++i) {
        EXPECT_EQ(shortTexts.component[i], '\0') << i;
    }
    for (std::size_t i = 1; i < kStatusFileChars; ++i) {
        EXPECT_EQ(shortTexts.file[i], '\0') << i;
    }
}

TEST(StatusBlock, NullPlaceTextsAreStoredEmpty) {
    tStatusBlock block = makeStatusBlock();
    ASSERT_TRUE(block.setCode(5, nullptr, nullptr, 9));
    EXPECT_STREQ(block.component, "");
    EXPECT_STREQ(block.file, "");
    EXPECT_EQ(block.line, 9);
}

TEST(StatusBlock, ShortDeclaredSizeCarriesCodesButNoPlace) {
    tStatusBlock block = makeStatusBlock();
    block.declaredSize = 8;
    std::strcpy(block.component, "keep");
    block.line = 42;
    block.extension[0] = 77;
    ASSERT_TRUE(block.setCode(-313569, kStatusComponent, kDevMgr, 498));
    EXPECT_EQ(block.code, -313569);
    EXPECT_STREQ(block.component, "keep");
    EXPECT_EQ(block.line, 42);
    EXPECT_EQ(block.extension[0], 77u);
}

TEST(StatusBlock, MergeOfEmptyBlockChangesNothing) {
    for (std::int32_t held : {0, 52006, -313569}) {
        tStatusBlock block = held == 0 ? makeStatusBlock() : blockWith(held);
        const tStatusBlock before = block;
        EXPECT_FALSE(block.mergeFrom(makeStatusBlock())) << held;
        EXPECT_TRUE(sameBytes(block, before)) << held;
    }
}

TEST(StatusBlock, MergeCopiesCodePlaceAndAllExtensionWords) {
    tStatusBlock other = blockWith(313569, kStatusComponent, kDevMgr, 583);
    for (std::size_t i = 0; i < kStatusExtensionWords; ++i) {
        other.extension[i] = 100 + i;
    }
    tStatusBlock block = makeStatusBlock();
    ASSERT_TRUE(block.mergeFrom(other));
    EXPECT_TRUE(sameBytes(block, other));
}

TEST(StatusBlock, MergeRefusedByPrecedenceKeepsThisBlock) {
    tStatusBlock block = blockWith(52006);
    const tStatusBlock before = block;
    EXPECT_FALSE(block.mergeFrom(blockWith(313569, "Other", "other.cpp", 5)));
    EXPECT_TRUE(sameBytes(block, before));
}

TEST(StatusBlock, MergeFromShortBlockTakesCodeWithEmptyPlace) {
    tStatusBlock other = blockWith(-52000, "Memory", "Memory.h", 378);
    other.declaredSize = 8;
    other.extension[3] = 9;
    tStatusBlock block = blockWith(52006);
    block.extension[3] = 1;
    ASSERT_TRUE(block.mergeFrom(other));
    EXPECT_EQ(block.code, -52000);
    EXPECT_STREQ(block.component, "");
    EXPECT_STREQ(block.file, "");
    EXPECT_EQ(block.line, 0);
    EXPECT_EQ(block.extension[3], 1u);  // words travel only between full blocks
}

TEST(StatusBlock, MergeIntoItselfChangesNothing) {
    tStatusBlock block = blockWith(52006);
    const tStatusBlock before = block;
    EXPECT_FALSE(block.mergeFrom(block));
    EXPECT_TRUE(sameBytes(block, before));
}

TEST(StatusBlock, RaiseRecordsComponentAndSourcePosition) {
    tStatusBlock block = makeStatusBlock();
    const int line = __LINE__ + 1;
    ASSERT_TRUE(ROOTSCOPE_RAISE(block, kStatusConfigQueryFailed));
    EXPECT_STREQ(block.component, "Rootscope");
    EXPECT_NE(std::strstr(block.file, "StatusBlockTest.cpp"), nullptr) << block.file;
    EXPECT_EQ(block.line, line);
}

}  // namespace
}  // namespace nROOTSCOPE_1_0

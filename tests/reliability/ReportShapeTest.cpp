// SPDX-License-Identifier: MIT
// The report checker must accept every shape the survey can print and
// refuse reports that leave the fixed sequence, or the sweeps prove nothing.
#include <gtest/gtest.h>

#include <string>

#include "ReportShape.h"

namespace nROOTSCOPE_1_0 {
namespace {

const std::string kBanner =
    "\n===Kestova Resource Root Bus Detection Utility===\n"
    " This utility determines the number of PCI/PCI Express root bus\n"
    " devices on your system and whether there are any bus number\n"
    " range limitations that could cause hardware problems.\n\n===SUMMARY===\n";
const std::string kSingleLimited =
    "Single root bus detected.\n   Your system has a single PCI root bus.\n"
    "Root bus has a limited range.\n"
    "   Your system BIOS has a set limit on the range of bus numbers\n"
    "   you can assign to your PCI tree. In Windows XP, this limit is ignored\n"
    "   and has no impact. In Windows Vista and later, the limit is strictly\n"
    "   enforced and cannot be exceeded. As such, the amount of Linkvane\n"
    "   hardware you can attach is limited. Refer to the bus number range\n"
    "   below for your system's limitations.\n";
const std::string kNotFound =
    "PCI bus not found.\n"
    "   Either this system does not support PCI/PCI Express, or the\n"
    "   root bus could not be found due to errors. Consult your computer's\n"
    "   documentation or troubleshoot any root bus device errors.\n";
const std::string kRunningBlock =
    "\n----- Root Bus: ACPI\\PNP0A08\\0 -----\nBus Number Range: [0, 3f]\nStatus: Device is running\n";
const std::string kPhantomBlock =
    "\n----- Root Bus: ACPI\\PNP0A03\\1 -----\nBus Number Range: [40, ff]\n"
    "Status: Phantom Device (previously attached/not currently running)\n";
const std::string kErrorBlock = "\n!----  : Error Retrieving Bus Number Range ----!\n";
const std::string kNoErrors = "\n\nThis utility ran with no errors.\n";
const std::string kWithError = "\n\nThis utility ran with error(s).\nResult code: -313569\n";
const std::string kDetails = "\n===DETAILS===\n";

TEST(ReportShape, ReadsBackEveryPart) {
    tReportShape shape;
    std::string problem;
    ASSERT_TRUE(parseReport(kBanner + kSingleLimited + kDetails + kRunningBlock + kPhantomBlock + kErrorBlock +
                                kNoErrors,
                            shape, problem))
        << problem;
    EXPECT_EQ(shape.summary, tSummary::SingleLimited);
    ASSERT_EQ(shape.details.size(), 3u);
    EXPECT_EQ(shape.details[0].id, "ACPI\\PNP0A08\\0");
    EXPECT_EQ(shape.details[0].low, 0u);
    EXPECT_EQ(shape.details[0].high, 0x3fu);
    EXPECT_TRUE(shape.details[0].running);
    EXPECT_FALSE(shape.details[1].running);
    EXPECT_EQ(shape.details[1].high, 0xffu);
    EXPECT_TRUE(shape.details[2].errorLine);
    EXPECT_EQ(shape.details[2].id, "");
    EXPECT_FALSE(shape.error);

    ASSERT_TRUE(parseReport(kBanner + kNotFound + kDetails + kWithError, shape, problem)) << problem;
    EXPECT_EQ(shape.summary, tSummary::NotFound);
    EXPECT_TRUE(shape.details.empty());
    EXPECT_TRUE(shape.error);
    EXPECT_EQ(shape.code, -313569);
}

struct tBrokenReport {
    const char* what;
    std::string report;
    const char* reason;  // part of the problem, with where the report went wrong
};

void PrintTo(const tBrokenReport& c, std::ostream* os) {
    *os << c.what;
}

class ReportShapeRefuses : public testing::TestWithParam<tBrokenReport> {};

TEST_P(ReportShapeRefuses, Report) {
    tReportShape shape;
    std::string problem;
    EXPECT_FALSE(parseReport(GetParam().report, shape, problem));
    EXPECT_NE(problem.find(GetParam().reason), std::string::npos) << problem;
}

const std::string kGood = kBanner + kNotFound + kDetails + kRunningBlock + kNoErrors;

INSTANTIATE_TEST_SUITE_P(
    Table, ReportShapeRefuses,
    testing::Values(
        tBrokenReport{"empty", "", "===SUMMARY===\\n\" at offset 0, found \"\""},
        tBrokenReport{"cut short", kGood.substr(0, kGood.size() - 1), "ran with no errors.\\n\" at offset 566"},
        tBrokenReport{"trailing text", kGood + "\n", "expected the end of the report at offset 599"},
        tBrokenReport{"no summary", kBanner + kDetails + kNoErrors, "expected a summary block at offset 246"},
        tBrokenReport{"two summaries", kBanner + kNotFound + kNotFound + kDetails + kNoErrors,
                      "===DETAILS===\\n\" at offset 459"},
        tBrokenReport{"single without its range block",
                      kBanner + "Single root bus detected.\n   Your system has a single PCI root bus.\n" + kDetails +
                          kNoErrors,
                      "expected the limited-range or the full-range block at offset 314"},
        tBrokenReport{"banner twice", kBanner + kBanner + kNotFound + kDetails + kNoErrors,
                      "expected a summary block at offset 246"},
        tBrokenReport{"no details header", kBanner + kNotFound + kNoErrors, "===DETAILS===\\n\" at offset 459"},
        tBrokenReport{"no closing lines", kBanner + kNotFound + kDetails + "This utility ran with no errors.\n",
                      "expected \"\\n\\n\" at offset 474"},
        tBrokenReport{"two results", kGood + "This utility ran with no errors.\n",
                      "expected the end of the report at offset 599"},
        tBrokenReport{"error without code", kBanner + kNotFound + kDetails + "\n\nThis utility ran with error(s).\n",
                      "ran with no errors.\\n\" at offset 476"},
        tBrokenReport{"positive code",
                      kBanner + kNotFound + kDetails + "\n\nThis utility ran with error(s).\nResult code: 52006\n",
                      "an error's result code must be negative at offset 527"},
        tBrokenReport{"upper-case hex",
                      kBanner + kNotFound + kDetails +
                          "\n----- Root Bus: X -----\nBus Number Range: [0, FF]\nStatus: Device is running\n" +
                          kNoErrors,
                      "without leading zeros at offset 521"},
        tBrokenReport{"leading zeros",
                      kBanner + kNotFound + kDetails +
                          "\n----- Root Bus: X -----\nBus Number Range: [00, ff]\nStatus: Device is running\n" +
                          kNoErrors,
                      "without leading zeros at offset 518"},
        tBrokenReport{"status without its text",
                      kBanner + kNotFound + kDetails + "\n----- Root Bus: X -----\nBus Number Range: [0, ff]\n" +
                          "Status: \n" + kNoErrors,
                      "not currently running)\\n\" at offset 533"},
        tBrokenReport{"heading split over two lines",
                      kBanner + kNotFound + kDetails + "\n----- Root Bus: X\n -----\nBus Number Range: [0, ff]\n" +
                          "Status: Device is running\n" + kNoErrors,
                      "expected a line ending in \" -----\\n\" at offset 491"}));

}  // namespace
}  // namespace nROOTSCOPE_1_0

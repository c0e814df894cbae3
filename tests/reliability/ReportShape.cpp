// SPDX-License-Identifier: MIT
#include "ReportShape.h"

#include <cstddef>
#include <string_view>

namespace nROOTSCOPE_1_0 {

namespace {

// The report's fixed texts. They are the program's contract with its users,
// so the checker holds its own copy rather than borrowing the survey's.
constexpr std::string_view kBanner =
    "\n"
    "===Kestova Resource Root Bus Detection Utility===\n"
    " This utility determines the number of PCI/PCI Express root bus\n"
    " devices on your system and whether there are any bus number\n"
    " range limitations that could cause hardware problems.\n"
    "\n"
    "===SUMMARY===\n";

constexpr std::string_view kMultiple =
    "Multiple root buses detected.\n"
    "   Your system has multiple PCI root buses, which divides the overall\n"
    "   available resources and bus numbers. To troubleshoot Linkvane\n"
    "   functionality, contact your computer's manufacturer to determine\n"
    "   the best PCI-Express slots to connect expansion chassis.\n"
    "   Typically, a PCI-Express slot attached to the root bus with the\n"
    "   larger amount of bus numbers is preferable.\n";

constexpr std::string_view kSingle =
    "Single root bus detected.\n"
    "   Your system has a single PCI root bus.\n";

constexpr std::string_view kLimited =
    "Root bus has a limited range.\n"
    "   Your system BIOS has a set limit on the range of bus numbers\n"
    "   you can assign to your PCI tree. In Windows XP, this limit is ignored\n"
    "   and has no impact. In Windows Vista and later, the limit is strictly\n"
    "   enforced and cannot be exceeded. As such, the amount of Linkvane\n"
    "   hardware you can attach is limited. Refer to the bus number range\n"
    "   below for your system's limitations.\n";

constexpr std::string_view kFull =
    "Root bus has full use of all bus numbers.\n"
    "   Your system's PCI tree can handle the full range of bus\n"
    "   numbers -- 0x00 (0) to 0xFF (255). Bus numbers should\n"
    "   not be a limiting factor in your Linkvane hardware functionality.\n";

constexpr std::string_view kNotFound =
    "PCI bus not found.\n"
    "   Either this system does not support PCI/PCI Express, or the\n"
    "   root bus could not be found due to errors. Consult your computer's\n"
    "   documentation or troubleshoot any root bus device errors.\n";

constexpr std::string_view kDetailsHeader = "\n===DETAILS===\n";
constexpr std::string_view kErrorBlockStart = "\n!---- ";
constexpr std::string_view kErrorBlockEnd = " : Error Retrieving Bus Number Range ----!\n";
constexpr std::string_view kRangeBlockStart = "\n----- Root Bus: ";
constexpr std::string_view kRangeBlockEnd = " -----\n";
constexpr std::string_view kRangeLine = "Bus Number Range: [";
constexpr std::string_view kStatus = "Status: ";
constexpr std::string_view kRunning = "Device is running\n";
constexpr std::string_view kPhantom = "Phantom Device (previously attached/not currently running)\n";
constexpr std::string_view kClosing = "\n\n";
constexpr std::string_view kNoErrors = "This utility ran with no errors.\n";
constexpr std::string_view kWithErrors = "This utility ran with error(s).\nResult code: ";

class tCursor {
public:
    tCursor(const std::string& text, std::string& problem) : text_(text), problem_(problem) {}

    bool atEnd() const { return at_ == text_.size(); }
    bool next(std::string_view expected) const { return std::string_view(text_).substr(at_).starts_with(expected); }

    bool take(std::string_view expected) {
        if (!next(expected)) {
            return fail("expected \"" + escaped(expected) + "\"");
        }
        at_ += expected.size();
        return true;
    }

    bool takeIf(std::string_view expected) {
        if (!next(expected)) {
            return false;
        }
        at_ += expected.size();
        return true;
    }

    // Everything up to `terminator`, which ends in a line feed and must end
    // the current line: IDs never hold a line feed, so a terminator on a
    // later line means a broken block.
    bool takeUntil(std::string_view terminator, std::string& value) {
        const std::size_t lineEnd = text_.find('\n', at_);
        const std::size_t found = text_.find(terminator, at_);
        if (found == std::string::npos || lineEnd == std::string::npos || found + terminator.size() - 1 != lineEnd) {
            return fail("expected a line ending in \"" + escaped(terminator) + "\"");
        }
        value = text_.substr(at_, found - at_);
        at_ = found + terminator.size();
        return true;
    }

    // Lower-case hexadecimal without leading zeros, as "%x" prints.
    bool takeHex(std::uint32_t& value) {
        std::size_t end = at_;
        std::uint64_t number = 0;
        while (end < text_.size() && end - at_ < 9) {
            const char c = text_[end];
            int digit = -1;
            if (c >= '0' && c <= '9') {
                digit = c - '0';
            } else if (c >= 'a' && c <= 'f') {
                digit = c - 'a' + 10;
            }
            if (digit < 0) {
                break;
            }
            number = number * 16 + static_cast<std::uint64_t>(digit);
            ++end;
        }
        const std::size_t digits = end - at_;
        if (digits == 0 || digits > 8 || (digits > 1 && text_[at_] == '0')) {
            return fail("expected a lower-case hexadecimal number without leading zeros");
        }
        value = static_cast<std::uint32_t>(number);
        at_ = end;
        return true;
    }

    // A signed decimal as "%d" prints a 32-bit value.
    bool takeDecimal(std::int64_t& value) {
        std::size_t end = at_;
        const bool negative = end < text_.size() && text_[end] == '-';
        if (negative) {
            ++end;
        }
        const std::size_t first = end;
        std::int64_t number = 0;
        while (end < text_.size() && text_[end] >= '0' && text_[end] <= '9' && end - first < 11) {
            number = number * 10 + (text_[end] - '0');
            ++end;
        }
        const std::size_t digits = end - first;
        if (digits == 0 || digits > 10 || (digits > 1 && text_[first] == '0')) {
            return fail("expected a signed decimal number");
        }
        value = negative ? -number : number;
        at_ = end;
        return true;
    }

    bool fail(const std::string& what) {
        problem_ = what + " at offset " + std::to_string(at_) + ", found \"" +
                   escaped(std::string_view(text_).substr(at_, 60)) + "\"";
        return false;
    }

private:
    static std::string escaped(std::string_view text) {
        std::string out;
        for (const char c : text) {
            if (c == '\n') {
                out += "\\n";
            } else {
                out += c;
            }
        }
        return out;
    }

    const std::string& text_;
    std::string& problem_;
    std::size_t at_ = 0;
};

bool parseSummary(tCursor& in, tSummary& summary) {
    if (in.takeIf(kMultiple)) {
        summary = tSummary::Multiple;
        return true;
    }
    if (in.takeIf(kNotFound)) {
        summary = tSummary::NotFound;
        return true;
    }
    if (in.takeIf(kSingle)) {
        if (in.takeIf(kLimited)) {
            summary = tSummary::SingleLimited;
            return true;
        }
        if (in.takeIf(kFull)) {
            summary = tSummary::SingleFull;
            return true;
        }
        return in.fail("expected the limited-range or the full-range block");
    }
    return in.fail("expected a summary block");
}

bool parseDetailsBlock(tCursor& in, tDetailsBlock& block) {
    if (in.takeIf(kErrorBlockStart)) {
        block.errorLine = true;
        return in.takeUntil(kErrorBlockEnd, block.id);
    }
    if (!in.take(kRangeBlockStart) || !in.takeUntil(kRangeBlockEnd, block.id) || !in.take(kRangeLine) ||
        !in.takeHex(block.low) || !in.take(", ") || !in.takeHex(block.high) || !in.take("]\n") ||
        !in.take(kStatus)) {
        return false;
    }
    if (in.takeIf(kRunning)) {
        block.running = true;
        return true;
    }
    return in.take(kPhantom);
}

}  // namespace

bool parseReport(const std::string& report, tReportShape& shape, std::string& problem) {
    shape = tReportShape{};
    tCursor in(report, problem);
    if (!in.take(kBanner) || !parseSummary(in, shape.summary) || !in.take(kDetailsHeader)) {
        return false;
    }
    while (in.next(kErrorBlockStart) || in.next(kRangeBlockStart)) {
        tDetailsBlock block;
        if (!parseDetailsBlock(in, block)) {
            return false;
        }
        shape.details.push_back(block);
    }
    if (!in.take(kClosing)) {
        return false;
    }
    if (in.takeIf(kWithErrors)) {
        shape.error = true;
        if (!in.takeDecimal(shape.code) || !in.take("\n")) {
            return false;
        }
        if (shape.code >= 0) {
            return in.fail("an error's result code must be negative");
        }
    } else if (!in.take(kNoErrors)) {
        return false;
    }
    if (!in.atEnd()) {
        return in.fail("expected the end of the report");
    }
    return true;
}

}  // namespace nROOTSCOPE_1_0

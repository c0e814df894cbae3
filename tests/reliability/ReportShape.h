// SPDX-License-Identifier: MIT
// Reads a survey report back into its parts, refusing anything that leaves
// the fixed sequence: banner, one summary block, details header, details
// blocks, the closing blank lines and the result.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace nROOTSCOPE_1_0 {

enum class tSummary { Multiple, SingleLimited, SingleFull, NotFound };

struct tDetailsBlock {
    bool errorLine = false;  // "!---- ID : Error Retrieving Bus Number Range ----!"
    std::string id;
    std::uint32_t low = 0;   // the rest only for a range block
    std::uint32_t high = 0;
    bool running = false;
    bool operator==(const tDetailsBlock&) const = default;
};

struct tReportShape {
    tSummary summary = tSummary::NotFound;
    std::vector<tDetailsBlock> details;
    bool error = false;
    std::int64_t code = 0;  // only with error
    bool operator==(const tReportShape&) const = default;
};

// Parses `report`. On failure returns false and sets `problem` to what was
// expected and the offset where the report went wrong.
bool parseReport(const std::string& report, tReportShape& shape, std::string& problem);

}  // namespace nROOTSCOPE_1_0

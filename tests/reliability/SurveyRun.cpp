// SPDX-License-Identifier: MIT
#include "SurveyRun.h"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <nlohmann/json.hpp>
#include <string_view>

#include "RootBusSurvey.h"

namespace nROOTSCOPE_1_0 {

namespace {

struct tCloseFile {
    void operator()(std::FILE* file) const { std::fclose(file); }
};

// One scratch file for the report of every run in the process: thousands of
// temporary files are slow to make on Windows and, under Wine, now and then
// cannot be made at all.
std::FILE* reportFile() {
    static const std::unique_ptr<std::FILE, tCloseFile> file(std::tmpfile());
    return file.get();
}

// What the last run wrote: from the start of the file up to where it stopped
// writing (older, longer reports may lie beyond).
std::string readReport(std::FILE* file) {
    const long length = std::ftell(file);
    std::string text(length > 0 ? static_cast<std::size_t>(length) : 0, '\0');
    std::rewind(file);
    text.resize(std::fread(text.data(), 1, text.size(), file));
    return text;
}

// Calls a survey may still make once its device work has ended: the walk
// under way runs on to the end of its set, and everything held goes back.
bool allowedAfterTheEnd(tSimCall call) {
    switch (call) {
        case tSimCall::EnumerateSet:
        case tSimCall::DestroySet:
        case tSimCall::FreeResDes:
        case tSimCall::FreeLogConf:
            return true;
        default:
            return false;
    }
}

// ------------------------------------------------------------ the oracle
// The survey's rules restated over the tree's own fields, so that a wrong
// decision of the survey shows as a difference, not only as a report that
// disagrees with its call log.

// The simulated heap refuses any request larger than this.
constexpr std::uint64_t kHeapLimit = std::uint64_t{64} << 20;

// The ID a walk reads for `node`: empty when the read fails or the ID does
// not fit the buffer; one that fills it exactly loses its last byte.
std::string idAsRead(const tSimNode& node) {
    const bool readable = node.idResult == CR_SUCCESS && node.id.size() <= MAX_DEVICE_ID_LEN;
    return readable ? node.id.substr(0, MAX_DEVICE_ID_LEN - 1) : std::string();
}

bool hasPrefix(const std::string& id, std::string_view lowerCasePrefix) {
    const auto same = [](char p, char c) { return p == (c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c); };
    return id.size() >= lowerCasePrefix.size() &&
           std::equal(lowerCasePrefix.begin(), lowerCasePrefix.end(), id.begin(), same);
}

bool isStarted(const tSimNode& node) {
    return node.started && node.statusResult == CR_SUCCESS;
}

// A node's boot range as one read gives it: the last bus-number
// descriptor read in full, and the error that ends the run, if any.
struct tRangeRead {
    std::int32_t error = 0;
    std::int32_t low = -1;
    std::int32_t high = -1;
    bool shown() const { return error == 0 && low >= 0 && high >= 0; }
};

// `allocations` counts heap requests over the run: the heap runs out
// across passes.
tRangeRead readRange(const tSimTree& tree, const tSimNode& node, std::uint64_t& allocations) {
    tRangeRead read;
    if (!node.bootConfig || node.bootConfig->result == CR_NO_MORE_LOG_CONF) {
        return read;
    }
    read.error = node.bootConfig->result == CR_SUCCESS ? 0 : kStatusConfigQueryFailed;
    const std::vector<tSimDescriptor>& descriptors = node.bootConfig->descriptors;
    for (std::size_t i = 0; read.error == 0; ++i) {
        // The walk's next step yields descriptor i, or else the end.
        const CONFIGRET next = i < descriptors.size() ? descriptors[i].result : node.bootConfig->endResult;
        if (next != CR_SUCCESS || i == descriptors.size()) {
            read.error = next == CR_NO_MORE_RES_DES ? 0 : kStatusConfigQueryFailed;
            break;
        }
        const tSimDescriptor& d = descriptors[i];
        if (d.type != ResType_BusNumber || d.sizeResult != CR_SUCCESS || descriptorDataSize(d) < sizeof(BUSNUMBER_DES)) {
            continue;
        }
        if (descriptorDataSize(d) > kHeapLimit || allocations++ >= tree.heapFailsAfter.value_or(UINT64_MAX)) {
            read.error = kStatusOutOfMemory;
        } else if (d.dataResult == CR_SUCCESS) {
            read.low = static_cast<std::int32_t>(d.base);
            read.high = static_cast<std::int32_t>(d.end);
        }
    }
    return read;
}

// A report's parts in a few lines, for failure messages.
std::string describe(const tReportShape& shape) {
    static const char* const kSummaries[] = {"multiple", "single, limited", "single, full", "not found"};
    std::string text = std::string("summary: ") + kSummaries[static_cast<int>(shape.summary)] + "\n";
    for (const tDetailsBlock& b : shape.details) {
        const std::string range = std::to_string(b.low) + ".." + std::to_string(b.high);
        text += b.id + (b.errorLine ? ": error line\n" : ": " + range + (b.running ? " running\n" : " phantom\n"));
    }
    return text + (shape.error ? "error " + std::to_string(shape.code) : std::string("no errors")) + "\n";
}

}  // namespace

tExpectation expectationOf(const tSimTree& tree) {
    tExpectation expected;
    tReportShape& report = expected.report;
    // Each walk visits the nodes of its pattern in the order of the set. A
    // set that cannot be read gives no visits; an enumeration that ends
    // with another error gives the first walk's, and the error.
    std::vector<std::pair<const tSimNode*, std::string>> bridges;
    std::int32_t error = 0;
    for (const std::string_view prefix : {"acpi\\pnp0a03\\", "acpi\\pnp0a08\\"}) {
        for (const tSimNode& node : tree.nodes) {
            if (const std::string id = idAsRead(node); hasPrefix(id, prefix)) {
                expected.bridges.push_back(id);
                if (error == 0 && !tree.openSetFails && !tree.detailQueryFails) {
                    bridges.emplace_back(&node, id);
                }
            }
        }
        if (tree.openSetFails || tree.detailQueryFails || tree.enumError != ERROR_NO_MORE_ITEMS) {
            error = kStatusConfigQueryFailed;
        }
    }
    const auto started = std::count_if(bridges.begin(), bridges.end(), [](auto& b) { return isStarted(*b.first); });
    report.summary = started >= 2 ? tSummary::Multiple : started == 1 ? tSummary::SingleFull : tSummary::NotFound;
    std::uint64_t allocations = 0;
    // One started bridge: its range is limited unless it reads 0..255.
    for (std::size_t i = 0; started == 1 && i < bridges.size() && error == 0; ++i) {
        const tRangeRead read = readRange(tree, *bridges[i].first, allocations);
        error = read.error;
        if (read.shown() && isStarted(*bridges[i].first) && (read.low != 0 || read.high != 255)) {
            report.summary = tSummary::SingleLimited;
        }
    }
    // A block for each bridge up to the error, whose bridge gets the error line.
    for (std::size_t i = 0; i < bridges.size() && error == 0; ++i) {
        const tRangeRead read = readRange(tree, *bridges[i].first, allocations);
        error = read.error;
        tDetailsBlock block{true, bridges[i].second};
        if (read.shown()) {
            block = {false, bridges[i].second, static_cast<std::uint32_t>(read.low),
                     static_cast<std::uint32_t>(read.high), isStarted(*bridges[i].first)};
        }
        report.details.push_back(block);
    }
    report.error = error != 0;
    report.code = error;
    return expected;
}

tSurveyRun runSurvey(const tSimTree& tree, const tFaultPlan& faults) {
    tSurveyRun run;
    run.expected = expectationOf(tree);
    run.faulted = !faults.empty();
    tSimulatedDeviceTree services(tree);
    for (const auto& [call, result] : faults) {
        services.failCall(call, result);
    }
    runSurveyWithin(services.services(), services.heap(), run);
    run.leaks += services.leakReport();
    run.log = services.callLog();
    return run;
}

void runSurveyWithin(iDeviceServices& services, const tHeap& heap, tSurveyRun& run) {
    std::FILE* out = reportFile();
    if (out == nullptr) {
        run.leaks = "no temporary file for the report";
        return;
    }
    std::rewind(out);
    {
        tEmulationScope scope(services, heap);
        run.exitCode = runRootBusSurvey(out, nullptr, &run.status);
    }
    run.report = readReport(out);
}

bool endsDeviceWork(const tSimCallRecord& record) {
    if (record.result == CR_SUCCESS) {
        return false;
    }
    switch (record.call) {
        case tSimCall::OpenSet:
        case tSimCall::DescribeSet:
        case tSimCall::Allocate:
            return true;
        case tSimCall::EnumerateSet:
            return record.result != static_cast<CONFIGRET>(ERROR_NO_MORE_ITEMS);
        case tSimCall::FirstLogConf:
            return record.result != CR_NO_MORE_LOG_CONF;
        case tSimCall::NextResDes:
            return record.result != CR_NO_MORE_RES_DES;
        default:
            return false;
    }
}

tVerdict verdictOf(const std::vector<tSimCallRecord>& log) {
    for (std::size_t i = 0; i < log.size(); ++i) {
        if (endsDeviceWork(log[i])) {
            return {true, log[i].call == tSimCall::Allocate ? kStatusOutOfMemory : kStatusConfigQueryFailed, i + 1};
        }
    }
    return {};
}

std::string checkRun(const tSurveyRun& run, tReportShape* shapeOut) {
    std::string problems;
    auto problem = [&problems](const std::string& text) { problems += text + "\n"; };

    if (!run.leaks.empty()) {
        problem("left held or misused: " + run.leaks);
    }
    tReportShape shape;
    std::string parseProblem;
    if (!parseReport(run.report, shape, parseProblem)) {
        problem("report out of shape: " + parseProblem);
    } else {
        if (run.exitCode != (shape.error ? 1 : 0)) {
            problem("exit code " + std::to_string(run.exitCode) + " but the result line says " +
                    (shape.error ? "error" : "no errors"));
        }
        if (shape.error != run.status.isError() || (shape.error && shape.code != run.status.code)) {
            problem("result line disagrees with the run status (code " + std::to_string(run.status.code) + ")");
        }
        const tReportShape& expected = run.expected.report;
        if (!run.faulted && shape != expected) {
            problem("the tree calls for\n" + describe(expected) + "but the report says\n" + describe(shape));
        }
        // With faults, blocks may go or change, but each still names the
        // next bridge the walks reach; a failed ID read prints it empty.
        auto next = run.expected.bridges.begin();
        for (const tDetailsBlock& block : shape.details) {
            next = std::find_if(next, run.expected.bridges.end(), [&](const std::string& id) {
                return id == block.id || (run.faulted && block.id.empty());
            });
            if (next == run.expected.bridges.end()) {
                problem("details block \"" + block.id + "\" names no bridge, or one out of order");
                break;
            }
            ++next;
        }
    }
    if (run.exitCode != (run.status.isError() ? 1 : 0)) {
        problem("exit code " + std::to_string(run.exitCode) + " with status code " + std::to_string(run.status.code));
    }

    const tVerdict verdict = verdictOf(run.log);
    if (verdict.error != run.status.isError() || (verdict.error && verdict.code != run.status.code)) {
        problem("status code " + std::to_string(run.status.code) + " but the rules call for " +
                (verdict.error ? std::to_string(verdict.code) + " from call " + std::to_string(verdict.call) + " (" +
                                     simCallName(run.log[verdict.call - 1].call) + ")"
                               : std::string("no error")));
    }
    // A range read that ends the run in the details pass prints the error
    // line for its own node, and no later node gets a block.
    const bool decidedByRangeRead =
        verdict.error && (run.log[verdict.call - 1].call == tSimCall::FirstLogConf ||
                          run.log[verdict.call - 1].call == tSimCall::NextResDes ||
                          run.log[verdict.call - 1].call == tSimCall::Allocate);
    if (decidedByRangeRead && !shape.details.empty() && !shape.details.back().errorLine) {
        problem("the range read of call " + std::to_string(verdict.call) +
                " ended the run, but the last details block is not an error line");
    }
    if (verdict.error) {
        for (std::size_t i = verdict.call; i < run.log.size(); ++i) {
            if (!allowedAfterTheEnd(run.log[i].call)) {
                problem("call " + std::to_string(i + 1) + " (" + simCallName(run.log[i].call) +
                        ") made after the error of call " + std::to_string(verdict.call));
                break;
            }
        }
    }
    if (shapeOut != nullptr) {
        *shapeOut = shape;
    }
    return problems;
}

std::string fixtureText(const tSimTree& tree) {
    using nlohmann::json;
    json root;
    root["open_set"] = tree.openSetFails ? 1 : 0;
    root["detail_query"] = tree.detailQueryFails ? 1 : 0;
    if (tree.heapFailsAfter) {
        root["heap_fails_after"] = *tree.heapFailsAfter;
    }
    root["enum_error"] = tree.enumError;
    json nodes = json::array();
    for (const tSimNode& node : tree.nodes) {
        json n;
        n["id"] = node.id;
        n["id_result"] = node.idResult;
        n["started"] = node.started;
        n["status_result"] = node.statusResult;
        if (node.bootConfig) {
            json config;
            config["result"] = node.bootConfig->result;
            config["end_result"] = node.bootConfig->endResult;
            json descriptors = json::array();
            for (const tSimDescriptor& d : node.bootConfig->descriptors) {
                descriptors.push_back({{"type", d.type},
                                       {"result", d.result},
                                       {"base", d.base},
                                       {"end", d.end},
                                       {"flags", d.flags},
                                       {"size", descriptorDataSize(d)},
                                       {"size_result", d.sizeResult},
                                       {"data_result", d.dataResult}});
            }
            config["descriptors"] = descriptors;
            n["boot_config"] = config;
        }
        nodes.push_back(n);
    }
    root["nodes"] = nodes;
    return root.dump(2, ' ', true, json::error_handler_t::replace);
}

std::string describe(const tFaultPlan& faults) {
    std::string text;
    for (const auto& [call, result] : faults) {
        text += (text.empty() ? "" : ", ") + std::string("call ") + std::to_string(call) + " -> " +
                std::to_string(result);
    }
    return text.empty() ? "no faults" : text;
}

std::string describe(const std::vector<tSimCallRecord>& log) {
    std::string text;
    for (std::size_t i = 0; i < log.size(); ++i) {
        text += std::to_string(i + 1) + ":" + simCallName(log[i].call);
        if (log[i].result != CR_SUCCESS) {
            text += "=" + std::to_string(log[i].result) + (log[i].injected ? "!" : "");
        }
        text += i + 1 < log.size() ? " " : "";
    }
    return text;
}

}  // namespace nROOTSCOPE_1_0

#include "SurveyRun.h"

#include <cstdio>
#include <memory>
#include <nlohmann/json.hpp>

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

}  // namespace

tSurveyRun runSurvey(const tSimTree& tree, const tFaultPlan& faults) {
    tSurveyRun run;
    tSimulatedDeviceTree services(tree);
    for (const auto& [call, result] : faults) {
        services.failCall(call, result);
    }
    std::FILE* out = reportFile();
    if (out == nullptr) {
        run.leaks = "no temporary file for the report";
        return run;
    }
    std::rewind(out);
    {
        tEmulationScope scope(services);
        run.exitCode = runRootBusSurvey(out, nullptr, &run.status);
    }
    run.report = readReport(out);
    run.leaks = services.leakReport();
    run.log = services.callLog();
    return run;
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
                                       {"size", d.size},
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

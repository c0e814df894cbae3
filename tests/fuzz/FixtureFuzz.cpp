// The fixture loader over arbitrary text, and, for every text it accepts,
// the whole survey over the tree it describes: each run must pass every
// check the fault sweeps apply (nothing leaked, a well-formed report, a
// result that agrees with the call log). The loader must also agree with
// the JSON library on which texts are JSON and which repeat a key.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <vector>

#include "Fixture.h"
#include "SurveyRun.h"

namespace {

using nlohmann::json;

[[noreturn]] void fail(const char* what, const std::string& error) {
    std::fprintf(stderr, "fixture: %s: \"%s\"\n", what, error.c_str());
    std::abort();
}

// Whether any object in a JSON text gives a key twice, seen with the
// library's callback parser: slow on large texts, but independent of the
// loader's own parse.
bool repeatsAKey(const std::string& text) {
    std::vector<std::set<std::string>> keys;
    bool repeated = false;
    const json::parser_callback_t note = [&](int, json::parse_event_t event, json& parsed) {
        if (event == json::parse_event_t::object_start) {
            keys.emplace_back();
        } else if (event == json::parse_event_t::object_end) {
            keys.pop_back();
        } else if (event == json::parse_event_t::key) {
            repeated = !keys.back().insert(parsed.get<std::string>()).second || repeated;
        }
        return true;
    };
    const json parsed = json::parse(text, note, false);
    return repeated && !parsed.is_discarded();
}

bool endsWith(const std::string& text, const std::string& tail) {
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    nROOTSCOPE_1_0::tSimTree tree;
    std::string error;
    const bool loaded = nROOTSCOPE_1_0::parseSimTree(text, tree, error);
    if (!loaded && (error.empty() || error.find('\n') != std::string::npos)) {
        fail("a refusal must be one line naming the field", error);
    }
    const bool isJson = json::accept(text);
    if (isJson == (!loaded && error.rfind("(json): ", 0) == 0)) {
        fail(isJson ? "JSON the library reads was refused as no JSON" : "text that is no JSON was read", error);
    }
    if (isJson) {
        const bool repeats = repeatsAKey(text);
        if (repeats != (!loaded && endsWith(error, ": duplicate key"))) {
            fail(repeats ? "a repeated key was not refused as one" : "refused for a repeated key it does not hold",
                 error);
        }
    }
    if (!loaded) {
        return 0;
    }
    const nROOTSCOPE_1_0::tSurveyRun run = nROOTSCOPE_1_0::runSurvey(tree);
    const std::string problems = nROOTSCOPE_1_0::checkRun(run);
    if (!problems.empty()) {
        std::fprintf(stderr, "fixture: %s\nreport:\n%s\n", problems.c_str(), run.report.c_str());
        std::abort();
    }
    return 0;
}

// SPDX-License-Identifier: MIT
// The fixture loader over arbitrary text, and, for every text it accepts,
// the whole survey over the tree it describes: each run must pass every
// check the fault sweeps apply (nothing leaked, a well-formed report, the
// report the tree calls for, a result that agrees with the call log). The
// loader must also agree with the JSON library on which texts are no JSON
// (and why) and which repeat a key.
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

// The text through the library's callback parser, slow on large texts but
// independent of the loader's own parse: whether an object repeats a key,
// and in `error` the refusal the loader must give when the text is no JSON.
bool repeatsAKey(const std::string& text, std::string& error) {
    std::vector<std::set<std::string>> keys;
    bool repeats = false;
    const json::parser_callback_t note = [&](int, json::parse_event_t event, json& parsed) {
        if (event == json::parse_event_t::object_start) {
            keys.emplace_back();
        } else if (event == json::parse_event_t::object_end) {
            keys.pop_back();
        } else if (event == json::parse_event_t::key) {
            repeats = !keys.back().insert(parsed.get<std::string>()).second || repeats;
        }
        return true;
    };
    try {
        static_cast<void>(json::parse(text, note).is_null());
    } catch (const json::exception& parseError) {
        error = std::string("(json): ") + parseError.what();
    }
    return repeats;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    nROOTSCOPE_1_0::tSimTree tree;
    std::string error;
    const bool loaded = nROOTSCOPE_1_0::parseSimTree(text, tree, error);
    if (!loaded && (error.empty() || error.find('\n') != std::string::npos)) {
        std::fprintf(stderr, "fixture: a refusal must be one line naming the field: \"%s\"\n", error.c_str());
        std::abort();
    }
    // The library takes a NUL for the end of the text; the loader refuses it.
    std::string libraryError;
    if (text.find('\0') == std::string::npos) {
        const bool repeats = repeatsAKey(text, libraryError);
        const bool agrees = libraryError.empty() ? repeats == (!loaded && error.ends_with(": duplicate key"))
                                                 : !loaded && error == libraryError;
        if (!agrees) {
            std::fprintf(stderr, "fixture: the library says \"%s\"%s; the loader: \"%s\"\n", libraryError.c_str(),
                         repeats ? " and a key is repeated" : "", error.c_str());
            std::abort();
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

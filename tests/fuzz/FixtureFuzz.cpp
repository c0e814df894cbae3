// The fixture loader over arbitrary text, and, for every text it accepts,
// the whole survey over the tree it describes: each run must pass every
// check the fault sweeps apply (nothing leaked, a well-formed report, a
// result that agrees with the call log). The loader must also agree with
// the JSON library on which texts are no JSON (and why) and which repeat a
// key.
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

// The text as the library's callback parser sees it: slow on large texts,
// but independent of the loader's own parse.
struct tLibraryParse {
    std::string error;     // "(json): " and the library's message, or "" for JSON
    bool repeats = false;  // whether any object gives a key twice
};

tLibraryParse parseWithTheLibrary(const std::string& text) {
    tLibraryParse result;
    std::vector<std::set<std::string>> keys;
    const json::parser_callback_t note = [&](int, json::parse_event_t event, json& parsed) {
        if (event == json::parse_event_t::object_start) {
            keys.emplace_back();
        } else if (event == json::parse_event_t::object_end) {
            keys.pop_back();
        } else if (event == json::parse_event_t::key) {
            result.repeats = !keys.back().insert(parsed.get<std::string>()).second || result.repeats;
        }
        return true;
    };
    try {
        const json document = json::parse(text, note);
        static_cast<void>(document);
    } catch (const json::exception& parseError) {
        result.error = std::string("(json): ") + parseError.what();
    }
    return result;
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
    // The library stops at a NUL as at the end of the text; the loader
    // refuses it first, wherever it is.
    if (text.find('\0') != std::string::npos) {
        if (loaded || error.rfind("(json): a NUL byte at offset ", 0) != 0) {
            fail("a NUL was not refused as one", error);
        }
        return 0;
    }
    // Text that is no JSON is refused with the library's own message, and
    // JSON exactly when it repeats a key.
    const tLibraryParse library = parseWithTheLibrary(text);
    if (!library.error.empty() && (loaded || error != library.error)) {
        fail(("no JSON, which the library refuses with \"" + library.error + "\", refused as").c_str(), error);
    }
    if (library.error.empty() && library.repeats != (!loaded && endsWith(error, ": duplicate key"))) {
        fail(library.repeats ? "a repeated key was not refused as one" : "refused for a repeated key it does not hold",
             error);
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

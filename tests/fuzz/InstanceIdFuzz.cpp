// SPDX-License-Identifier: MIT
// The instance-ID matcher over arbitrary IDs and patterns. The ID lies in a
// buffer of exactly its capacity with no terminator, so any read past the
// capacity is caught by the address sanitizer.
//
// Input: one byte giving the pattern's length, the pattern, then the ID.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "DevMgr.h"

namespace {

char flipCase(char c) {
    if (c >= 'a' && c <= 'z') {
        return static_cast<char>(c - 'a' + 'A');
    }
    if (c >= 'A' && c <= 'Z') {
        return static_cast<char>(c - 'A' + 'a');
    }
    return c;
}

void require(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "instance_id: %s\n", what);
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    const std::size_t patternLength = data[0] < size - 1 ? data[0] : size - 1;
    const std::string pattern(reinterpret_cast<const char*>(data + 1), patternLength);
    const std::size_t capacity = size - 1 - patternLength;
    std::unique_ptr<char[]> id(new char[capacity]);
    if (capacity > 0) {
        std::memcpy(id.get(), data + 1 + patternLength, capacity);
    }

    const bool matches = nROOTSCOPE_1_0::instanceIdMatches(id.get(), capacity, pattern.c_str());
    nROOTSCOPE_1_0::instanceIdMatches(id.get(), capacity, nROOTSCOPE_1_0::kPciRootBridgePattern);
    nROOTSCOPE_1_0::instanceIdMatches(id.get(), capacity, nROOTSCOPE_1_0::kPciExpressRootBridgePattern);

    // Letter case never decides a match, on either side.
    std::unique_ptr<char[]> flipped(new char[capacity]);
    for (std::size_t i = 0; i < capacity; ++i) {
        flipped[i] = flipCase(id[i]);
    }
    std::string flippedPattern = pattern;
    for (char& c : flippedPattern) {
        c = flipCase(c);
    }
    require(nROOTSCOPE_1_0::instanceIdMatches(flipped.get(), capacity, pattern.c_str()) == matches,
            "flipping the ID's letter case changed the answer");
    require(nROOTSCOPE_1_0::instanceIdMatches(id.get(), capacity, flippedPattern.c_str()) == matches,
            "flipping the pattern's letter case changed the answer");
    return 0;
}

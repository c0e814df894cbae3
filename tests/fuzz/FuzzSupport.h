// SPDX-License-Identifier: MIT
// Helpers shared by the fuzz targets of the Linux host parsers.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>

namespace nROOTSCOPE_1_0::fuzz {

// Stops the run with a message naming the broken invariant; libFuzzer and
// the replay both report the abort as a failure.
inline void require(bool condition, const char* target, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "%s: %s\n", target, what);
        std::abort();
    }
}

// A copy of `text` in a heap block of exactly its size: a parser that reads
// one byte past the view it was given reads past the block, which the
// address sanitizer catches even when the bytes after it in the fuzzer's
// input would have been readable.
class tExactCopy {
public:
    explicit tExactCopy(std::string_view text) : size_(text.size()), bytes_(new char[text.size() == 0 ? 1 : text.size()]) {
        if (size_ > 0) {
            std::memcpy(bytes_.get(), text.data(), size_);
        }
    }

    std::string_view view() const { return std::string_view(bytes_.get(), size_); }

    // True when `part` lies inside this copy.
    bool holds(std::string_view part) const {
        const char* begin = bytes_.get();
        return part.data() >= begin && part.data() + part.size() <= begin + size_;
    }

private:
    std::size_t size_;
    std::unique_ptr<char[]> bytes_;
};

// Calls `onLine` for each '\n'-separated line of `text`, the last one
// included when it has no newline.
template <typename tOnLine>
void forEachLine(std::string_view text, tOnLine&& onLine) {
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        if (end == std::string_view::npos) {
            onLine(text);
            return;
        }
        onLine(text.substr(0, end));
        text.remove_prefix(end + 1);
    }
}

// A byte of an ACPI name segment.
inline bool isNameSegByte(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
}

}  // namespace nROOTSCOPE_1_0::fuzz

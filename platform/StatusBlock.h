// SPDX-License-Identifier: MIT
// The status record every device operation reports into.
//
// One signed code (0 success, < 0 error, > 0 warning) plus the place where it
// was raised. Operations look at the block they are handed and do nothing when
// it already holds an error, so the first error stops all further device work
// while warnings never change the flow.
#pragma once

#include <cstddef>
#include <cstdint>

namespace nROOTSCOPE_1_0 {

inline constexpr std::int32_t kStatusSuccess = 0;
inline constexpr std::int32_t kStatusConfigQueryFailed = -313569;
inline constexpr std::int32_t kStatusOutOfMemory = -52000;
inline constexpr std::int32_t kStatusBusNumberDataEmpty = -52006;

// Every block this program creates declares this size; the place fields are
// touched only in blocks that declare at least this much.
inline constexpr std::uint32_t kStatusBlockSize = 208;
inline constexpr std::size_t kStatusComponentChars = 10;
inline constexpr std::size_t kStatusFileChars = 101;
inline constexpr std::size_t kStatusExtensionWords = 10;

// The name every raising site of this program records.
inline constexpr const char kStatusComponent[] = "Rootscope";

struct tStatusBlock {
    std::uint32_t declaredSize;
    std::int32_t code;
    char component[kStatusComponentChars];
    char file[kStatusFileChars];
    std::int32_t line;
    std::uint64_t extension[kStatusExtensionWords];

    // Records `newCode` with its place when the precedence rule lets it in:
    // success takes anything non-zero, a warning takes only an error, an error
    // takes nothing. Returns true when the code was recorded.
    bool setCode(std::int32_t newCode, const char* componentName, const char* fileName,
                 std::int32_t lineNumber);

    // Takes `other`'s code, place and extension words under the same rule.
    bool mergeFrom(const tStatusBlock& other);

    bool isError() const { return code < 0; }
    bool isWarning() const { return code > 0; }
    bool hasPlace() const { return declaredSize >= kStatusBlockSize; }
};

// Fixed layout, shared with code that treats the block as plain bytes.
static_assert(sizeof(tStatusBlock) == kStatusBlockSize, "tStatusBlock must be 208 bytes");
static_assert(offsetof(tStatusBlock, code) == 4);
static_assert(offsetof(tStatusBlock, component) == 8);
static_assert(offsetof(tStatusBlock, file) == 18);
static_assert(offsetof(tStatusBlock, line) == 120);
static_assert(offsetof(tStatusBlock, extension) == 128);

// An empty block: declared size 208, success, no place, cleared extension.
tStatusBlock makeStatusBlock();

// Raising in place: the code with this program's component name and the
// source position of the raising site.
#define ROOTSCOPE_RAISE(statusBlock, errorCode) \
    ((statusBlock).setCode((errorCode), ::nROOTSCOPE_1_0::kStatusComponent, __FILE__, __LINE__))

}  // namespace nROOTSCOPE_1_0

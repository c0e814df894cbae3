// SPDX-License-Identifier: MIT
// What a failed call leaves in its outputs. A real service may write into
// them before it fails, so a caller that reads an output of a failed call
// must be caught reading nonsense: the emulation's planned failures and the
// fault-injecting wrapper both leave these bytes, chosen from the
// parameters' types alone.
#pragma once

#include <cstddef>
#include <cstring>
#include <type_traits>
#include <utility>

namespace nROOTSCOPE_1_0 {

// Every byte of garbage. A handle made of it (0xCCCCCCCC) is never handed
// out, and a count made of it is too large to allocate.
inline constexpr unsigned char kGarbageByte = 0xCC;

namespace nGarbage {

template <class T, class = void>
struct tOpensWithSize : std::false_type {};
template <class T>
struct tOpensWithSize<T, std::void_t<decltype(std::declval<T&>().cbSize)>> : std::true_type {};

// An input (by value or through a const pointer) is left alone, and so are
// bytes, records and opaque handles (void*) reached through a pointer:
// whether the call fills them, and how far, only the call knows.
template <class T>
void leaveIn(const T&) {}

// A non-const pointer to a number is an output, overwritten whole: a
// handle, a status word, a size, a type.
template <class T>
void leaveIn(T* output) {
    if constexpr (!std::is_const_v<T> && std::is_arithmetic_v<T>) {
        if constexpr (sizeof(T) > 1) {
            if (output != nullptr) {
                std::memset(output, kGarbageByte, sizeof(T));
            }
        }
    }
}

}  // namespace nGarbage

// Garbage in every number among `arguments` that is an output.
template <class... tArguments>
void leaveGarbageInNumbers(tArguments... arguments) {
    (nGarbage::leaveIn(arguments), ...);
}

// Garbage in what a call fills besides numbers: nothing; a buffer of
// `length` bytes, or of *length bytes when the length is an in-out count;
// a record that opens with its own size, which keeps that size (the caller
// hands the record in again) and loses the rest.
inline void leaveGarbageInFilled() {}
template <class tLength>
void leaveGarbageInFilled(void* buffer, tLength length) {
    if constexpr (std::is_pointer_v<tLength>) {
        if (buffer != nullptr && length != nullptr) {
            std::memset(buffer, kGarbageByte, *length);
        }
    } else if (buffer != nullptr) {
        std::memset(buffer, kGarbageByte, length);
    }
}
template <class tRecord>
void leaveGarbageInFilled(tRecord* record) {
    static_assert(nGarbage::tOpensWithSize<tRecord>::value, "a record names its own size first");
    if (record != nullptr) {
        constexpr std::size_t kept = sizeof record->cbSize;
        std::memset(reinterpret_cast<unsigned char*>(record) + kept, kGarbageByte, sizeof(tRecord) - kept);
    }
}

}  // namespace nROOTSCOPE_1_0

// SPDX-License-Identifier: MIT
// The platform layer's trace facility: an abstract trace destination, the
// destination that writes to the debugger output, and the process-wide trace
// object bound to it.
//
// Both process-wide objects are constant-initialised, so they are usable from
// the first instruction of the process and cost no start-up code, and they are
// torn down at exit: the destination first, then the trace object. The survey
// writes nothing here; the facility is part of the process, not of the report.
#pragma once

#include <cstdint>

#if defined(_WIN32)
#include "WindowsHeaders.h"
#else
#include <mutex>
#endif

namespace nHALDOR_1_0::nVORAL000 {

// Where trace text goes. Every operation is pure: a destination decides all
// of its own behaviour. The order of the operations is part of the contract
// (destinations are reached through this table), so it must not change.
class iTraceDestination {
public:
    virtual ~iTraceDestination() = 0;

    // Writes at most `length` characters of `text`; stops early at a NUL.
    virtual iTraceDestination& writeCounted(const char* text, std::uint32_t length) = 0;

    // Writes the NUL-terminated `text`.
    virtual iTraceDestination& write(const char* text) = 0;

    virtual void idle() = 0;

    // Copies the destination's option text into `buffer` (`bufferLength`
    // bytes, always terminated when there is room for anything) and, when
    // `requiredLength` is given, stores the size the whole text needs, NUL
    // included. Returns where copying stopped: the copied NUL, one past the
    // end of `buffer` when the text was cut, `buffer` itself when
    // `bufferLength` is 0, null when `buffer` is null.
    virtual char* getOptionText(char* buffer, std::uint32_t bufferLength, std::uint32_t* requiredLength) = 0;

    virtual bool isReady() = 0;

    virtual void settle() = 0;

    virtual const char* name() = 0;

protected:
    constexpr iTraceDestination() noexcept = default;
    iTraceDestination(const iTraceDestination&) = default;
    iTraceDestination& operator=(const iTraceDestination&) = default;
};

// The destination that hands every piece of text to the debugger output
// through debugPrintf. It holds no data of its own.
class tConsoleTraceDestination final : public iTraceDestination {
public:
    constexpr tConsoleTraceDestination() noexcept = default;
    ~tConsoleTraceDestination() override;

    tConsoleTraceDestination& writeCounted(const char* text, std::uint32_t length) override;
    tConsoleTraceDestination& write(const char* text) override;
    void idle() override {}
    char* getOptionText(char* buffer, std::uint32_t bufferLength, std::uint32_t* requiredLength) override;
    bool isReady() override { return true; }
    void settle() override {}
    const char* name() override { return "nVORAL200_printf"; }
};

// The lock that guards a trace object. It has a separate create and delete,
// like a Windows critical section: the object that holds it starts with it
// not created, and only a created lock may be deleted.
class tTraceLock {
public:
    constexpr tTraceLock() noexcept = default;

    void create();
    void destroy();

private:
#if defined(_WIN32)
    CRITICAL_SECTION section_{};
#else
    // No critical section here: a standard mutex built in place on create
    // and destroyed on delete gives the same life without touching the heap.
    alignas(std::mutex) unsigned char storage_[sizeof(std::mutex)]{};
    std::mutex* mutex_ = nullptr;
#endif
};

// A trace object's state, in its fixed order. The meaning of the option
// flags and of the numeric setting belongs to the trace object's users.
struct tTraceState {
    iTraceDestination* destination;
    std::uint8_t live;
    std::uint8_t options[8];
    std::uint8_t lockCreated;
    std::uint8_t moreOptions[2];
    std::uint32_t setting;
    tTraceLock lock;
    char text[256];
    char* writePosition;
};

class tTrace {
public:
    // Bound to `destination`, live, with its starting options, the lock not
    // created and the write position at the first byte of the text buffer.
    explicit constexpr tTrace(iTraceDestination& destination) noexcept
        : state_{&destination, 1, {1, 0, 1, 1, 0, 0, 0, 0}, 0, {1, 1}, 50, {}, {}, nullptr} {
        state_.writePosition = state_.text;
    }

    // Clears the live flag and deletes the lock when, and only when, it was
    // created.
    virtual ~tTrace();

    tTrace(const tTrace&) = delete;
    tTrace& operator=(const tTrace&) = delete;

    // Creates the lock once. Nothing in the process-wide object's life calls
    // this, so its lock stays uncreated and teardown has nothing to delete.
    void createLock();

    const tTraceState& state() const { return state_; }

private:
    tTraceState state_;
};

// printf-style formatting into a 1024-byte buffer, cut at 1023 characters and
// always terminated, then one write of the buffer to the debugger output.
// Returns the number of characters formatted, or -1 when the text did not fit
// (or could not be formatted; then an empty text is written).
#if defined(__GNUC__)
__attribute__((format(printf, 1, 2)))
#endif
int debugPrintf(const char* format, ...);

// Writes `value` in decimal, without sign or leading zeros, followed by a NUL
// (at most 21 bytes). Returns the position of that NUL.
char* uintToDecimal(char* buffer, std::uint64_t value);

// Where debugger output goes: OutputDebugStringA on Windows; elsewhere, with
// no debugger channel, standard error (one write per text; never standard
// output, which carries the report). Tests install their own sink.
using tDebugOutputSink = void (*)(const char* text);

// Installs `sink` (null: the platform's own). Returns the one it replaced.
tDebugOutputSink useDebugOutputSink(tDebugOutputSink sink);

// Teardown is otherwise silent; a probe lets a test watch it happen.
enum class tTeardownEvent : std::uint8_t {
    destinationDestroyed,
    traceLockDeleted,
    traceDestroyed,
};
using tTeardownProbe = void (*)(tTeardownEvent event, const tTrace* trace);

// Installs `probe` (null: none, the process's normal state). Returns the one
// it replaced.
tTeardownProbe useTeardownProbe(tTeardownProbe probe);

// The process-wide objects. Destroyed in reverse order of definition, which
// puts the destination first and the trace object after it.
extern constinit tTrace gTrace;
extern constinit tConsoleTraceDestination gConsoleTraceDestination;

}  // namespace nHALDOR_1_0::nVORAL000

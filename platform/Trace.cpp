// SPDX-License-Identifier: MIT
#include "Trace.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>

#if !defined(_WIN32)
#include <unistd.h>
#endif

namespace nHALDOR_1_0::nVORAL000 {

namespace {

constexpr std::size_t kDebugBufferSize = 1024;
constexpr char kOptionText[] = " --destination voral";

void platformDebugOutput(const char* text) {
#if defined(_WIN32)
    ::OutputDebugStringA(text);
#else
    // A single write keeps a line whole even when other writers share the
    // descriptor. Standard error is unbuffered, so nothing queued in stdio can
    // overtake it; a short or failed write loses trace text, never the report.
    const ssize_t written = ::write(STDERR_FILENO, text, std::strlen(text));
    static_cast<void>(written);
#endif
}

constinit tDebugOutputSink gDebugOutputSink = platformDebugOutput;
constinit tTeardownProbe gTeardownProbe = nullptr;

void noteTeardown(tTeardownEvent event, const tTrace* trace) {
    if (gTeardownProbe != nullptr) {
        gTeardownProbe(event, trace);
    }
}

}  // namespace

tDebugOutputSink useDebugOutputSink(tDebugOutputSink sink) {
    const tDebugOutputSink previous = gDebugOutputSink;
    gDebugOutputSink = sink != nullptr ? sink : platformDebugOutput;
    return previous;
}

tTeardownProbe useTeardownProbe(tTeardownProbe probe) {
    const tTeardownProbe previous = gTeardownProbe;
    gTeardownProbe = probe;
    return previous;
}

int debugPrintf(const char* format, ...) {
    char buffer[kDebugBufferSize];
    std::va_list arguments;
    va_start(arguments, format);
    const int formatted = std::vsnprintf(buffer, sizeof buffer, format, arguments);
    va_end(arguments);
    // Some C runtimes leave a cut buffer unterminated, and a formatting
    // failure leaves its contents unspecified.
    buffer[sizeof buffer - 1] = '\0';
    if (formatted < 0) {
        buffer[0] = '\0';
    }
    gDebugOutputSink(buffer);
    if (formatted < 0 || static_cast<std::size_t>(formatted) >= sizeof buffer) {
        return -1;
    }
    return formatted;
}

char* uintToDecimal(char* buffer, std::uint64_t value) {
    // Digits come out least significant first; build them backwards in a
    // scratch area wide enough for the largest value, then copy them out.
    char digits[20];
    std::size_t count = 0;
    do {
        digits[count++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    char* position = buffer;
    while (count > 0) {
        *position++ = digits[--count];
    }
    *position = '\0';
    return position;
}

iTraceDestination::~iTraceDestination() = default;

tConsoleTraceDestination::~tConsoleTraceDestination() {
    noteTeardown(tTeardownEvent::destinationDestroyed, nullptr);
}

tConsoleTraceDestination& tConsoleTraceDestination::writeCounted(const char* text, std::uint32_t length) {
    // "%.<length>s": the precision bounds what printf reads, so the text
    // need not be terminated within `length` characters.
    char format[2 + 10 + 2];
    format[0] = '%';
    format[1] = '.';
    char* end = uintToDecimal(format + 2, length);
    end[0] = 's';
    end[1] = '\0';
    // The one caller with a format built at run time; its only conversion is
    // the %s above, which matches `text`.
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
#endif
    debugPrintf(format, text);
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif
    return *this;
}

tConsoleTraceDestination& tConsoleTraceDestination::write(const char* text) {
    debugPrintf("%s", text);
    return *this;
}

char* tConsoleTraceDestination::getOptionText(char* buffer, std::uint32_t bufferLength,
                                              std::uint32_t* requiredLength) {
    char* stop = buffer;
    if (buffer != nullptr && bufferLength > 0) {
        std::uint32_t copied = 0;
        bool terminated = false;
        while (!terminated && copied < bufferLength) {
            buffer[copied] = kOptionText[copied];
            terminated = kOptionText[copied] == '\0';
            ++copied;
        }
        // The copied NUL, or one past the end when the text was cut.
        stop = terminated ? buffer + copied - 1 : buffer + copied;
        buffer[bufferLength - 1] = '\0';
    }
    if (requiredLength != nullptr) {
        *requiredLength = static_cast<std::uint32_t>(sizeof kOptionText);
    }
    return stop;
}

void tTraceLock::create() {
#if defined(_WIN32)
    ::InitializeCriticalSection(&section_);
#else
    mutex_ = ::new (static_cast<void*>(storage_)) std::mutex();
#endif
}

void tTraceLock::destroy() {
#if defined(_WIN32)
    ::DeleteCriticalSection(&section_);
#else
    mutex_->~mutex();
    mutex_ = nullptr;
#endif
}

tTrace::~tTrace() {
    state_.live = 0;
    if (state_.lockCreated != 0) {
        state_.lock.destroy();
        state_.lockCreated = 0;
        noteTeardown(tTeardownEvent::traceLockDeleted, this);
    }
    noteTeardown(tTeardownEvent::traceDestroyed, this);
}

void tTrace::createLock() {
    if (state_.lockCreated == 0) {
        state_.lock.create();
        state_.lockCreated = 1;
    }
}

// Order matters: the trace object is defined first so that it is destroyed
// last, after the destination it points to. Its initialiser needs only the
// destination's address, which the declaration in the header provides.
constinit tTrace gTrace{gConsoleTraceDestination};
constinit tConsoleTraceDestination gConsoleTraceDestination;

}  // namespace nHALDOR_1_0::nVORAL000

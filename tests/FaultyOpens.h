// SPDX-License-Identifier: MIT
// File calls that fail on purpose, for the readers of a Linux machine:
// through the calls the readers use (Sysroot.h), call number N of those
// that find or open a file (an open, a stat, a link read), or every open of
// a path ending in a given text, fails with a given error.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <string_view>

#include <gtest/gtest.h>

#include "OpenDescriptors.h"
#include "Sysroot.h"

namespace nROOTSCOPE_1_0 {

// How many of each call a reading made.
struct tFileCallCounts {
    int opens = 0;
    int stats = 0;
    int linkReads = 0;

    int total() const { return opens + stats + linkReads; }
};

// Finds and opens files as the system does, but call number `failAt`
// (counting from 1, over opens, stats and link reads alike), or every open
// of a path ending in `failPath`, fails with `error`. Reads never fail.
struct tFaultyOpens {
    int failAt = 0;
    std::string failPath;
    int error = EIO;
    tFileCallCounts made;

    // True, with errno set, when the call just counted is to fail.
    bool failsNow(std::string_view path, bool open) {
        if (made.total() == failAt || (open && !failPath.empty() && path.ends_with(failPath))) {
            errno = error;
            return true;
        }
        return false;
    }

    static int openAt(int dir, const char* path, int flags, void* context) {
        auto& self = *static_cast<tFaultyOpens*>(context);
        ++self.made.opens;
        return self.failsNow(path, true) ? -1 : ::openat(dir, path, flags);
    }
    static long read(int fd, void* buffer, std::size_t size, void*) {
        return static_cast<long>(::read(fd, buffer, size));
    }
    static int statAt(int dir, const char* path, struct stat* info, int flags, void* context) {
        auto& self = *static_cast<tFaultyOpens*>(context);
        ++self.made.stats;
        return self.failsNow(path, false) ? -1 : ::fstatat(dir, path, info, flags);
    }
    static long readLinkAt(int dir, const char* path, char* buffer, std::size_t size, void* context) {
        auto& self = *static_cast<tFaultyOpens*>(context);
        ++self.made.linkReads;
        return self.failsNow(path, false) ? -1 : static_cast<long>(::readlinkat(dir, path, buffer, size));
    }
};

class tFaultyOpensScope {
public:
    explicit tFaultyOpensScope(tFaultyOpens& faults)
        : calls_{tFaultyOpens::openAt, tFaultyOpens::read, tFaultyOpens::statAt, tFaultyOpens::readLinkAt, &faults},
          previous_(useFileCalls(&calls_)) {}
    ~tFaultyOpensScope() { useFileCalls(previous_); }

private:
    tFileCalls calls_;
    const tFileCalls* previous_;
};

// Runs `read(failure)` once for each call it makes that finds or opens a
// file, that call failing with EIO: each such run must fail, naming with
// EIO a path `named` accepts, and leave no descriptor open; the run after
// the last call must succeed. Returns the calls a whole reading makes.
template <typename tReader, typename tNamed>
tFileCallCounts failEachCallInTurn(tReader&& read, tNamed&& named) {
    const int before = openDescriptors();
    for (int failAt = 1;; ++failAt) {
        tFaultyOpens faults;
        faults.failAt = failAt;
        tReadFailure failure;
        bool succeeded = false;
        {
            tFaultyOpensScope scope(faults);
            succeeded = read(failure);
        }
        if (faults.made.total() < failAt) {
            EXPECT_TRUE(succeeded) << failure.describe();
            return faults.made;
        }
        EXPECT_FALSE(succeeded) << "call " << failAt;
        EXPECT_EQ(failure.error, EIO) << "call " << failAt << ": " << failure.describe();
        EXPECT_TRUE(named(failure.path)) << "call " << failAt << ": " << failure.path;
        EXPECT_EQ(openDescriptors(), before) << "call " << failAt;
    }
}

}  // namespace nROOTSCOPE_1_0

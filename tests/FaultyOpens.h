// SPDX-License-Identifier: MIT
// Opens that fail on purpose, for the readers of a Linux machine: through
// the file calls the readers use (Sysroot.h), open number N, or every open
// of a path ending in a given text, fails with a given error.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <string_view>

#include <gtest/gtest.h>

#include "OpenDescriptors.h"
#include "Sysroot.h"

namespace nROOTSCOPE_1_0 {

// Opens files as the system does, but open number `failAt` (counting from
// 1), or every open of a path ending in `failPath`, fails with `error`.
struct tFaultyOpens {
    int failAt = 0;
    std::string failPath;
    int error = EIO;
    int opens = 0;

    static int openAt(int dir, const char* path, int flags, void* context) {
        auto& self = *static_cast<tFaultyOpens*>(context);
        const std::string_view name(path);
        if (++self.opens == self.failAt || (!self.failPath.empty() && name.ends_with(self.failPath))) {
            errno = self.error;
            return -1;
        }
        return ::openat(dir, path, flags);
    }
    static long read(int fd, void* buffer, std::size_t size, void*) {
        return static_cast<long>(::read(fd, buffer, size));
    }
};

class tFaultyOpensScope {
public:
    explicit tFaultyOpensScope(tFaultyOpens& faults)
        : calls_{tFaultyOpens::openAt, tFaultyOpens::read, &faults}, previous_(useFileCalls(&calls_)) {}
    ~tFaultyOpensScope() { useFileCalls(previous_); }

private:
    tFileCalls calls_;
    const tFileCalls* previous_;
};

// Runs `read(failure)` once for each open it makes, that open failing with
// EIO: each such run must fail, naming with EIO a path `named` accepts, and
// leave no descriptor open; the run after the last open must succeed.
// Returns how many opens a reading makes.
template <typename tReader, typename tNamed>
int failEachOpenInTurn(tReader&& read, tNamed&& named) {
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
        if (faults.opens < failAt) {
            EXPECT_TRUE(succeeded) << failure.describe();
            return failAt - 1;
        }
        EXPECT_FALSE(succeeded) << "open " << failAt;
        EXPECT_EQ(failure.error, EIO) << "open " << failAt;
        EXPECT_TRUE(named(failure.path)) << "open " << failAt << ": " << failure.path;
        EXPECT_EQ(openDescriptors(), before) << "open " << failAt;
    }
}

}  // namespace nROOTSCOPE_1_0

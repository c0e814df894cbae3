// SPDX-License-Identifier: MIT
// How many file descriptors this process holds, so a test can prove that a
// failed read left none open (Linux: one entry per descriptor in /proc).
#pragma once

#include <filesystem>

namespace nROOTSCOPE_1_0 {

inline int openDescriptors() {
    int count = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        ++count;
    }
    return count;
}

}  // namespace nROOTSCOPE_1_0

// SPDX-License-Identifier: MIT
// Letter case as device IDs and kernel texts use it: ASCII only, so no byte
// above 0x7F ever folds onto a letter, whatever the locale.
#pragma once

namespace nROOTSCOPE_1_0 {

inline char asciiLower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

}  // namespace nROOTSCOPE_1_0

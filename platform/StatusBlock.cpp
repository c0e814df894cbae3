// SPDX-License-Identifier: MIT
#include "StatusBlock.h"

#include <cstring>

namespace nROOTSCOPE_1_0 {

namespace {

// Copies up to `capacity` characters until the NUL, zero-fills the rest and
// forces the last character to NUL, so at most capacity - 1 survive.
void copyPlaceText(char* field, std::size_t capacity, const char* text) {
    std::size_t i = 0;
    if (text != nullptr) {
        for (; i < capacity && text[i] != '\0'; ++i) {
            field[i] = text[i];
        }
    }
    for (; i < capacity; ++i) {
        field[i] = '\0';
    }
    field[capacity - 1] = '\0';
}

}  // namespace

tStatusBlock makeStatusBlock() {
    tStatusBlock block;
    std::memset(&block, 0, sizeof block);
    block.declaredSize = kStatusBlockSize;
    return block;
}

bool tStatusBlock::setCode(std::int32_t newCode, const char* componentName, const char* fileName,
                           std::int32_t lineNumber) {
    const bool accepted = (code == 0 && newCode != 0) || (code > 0 && newCode < 0);
    if (!accepted) {
        return false;
    }
    code = newCode;
    if (!hasPlace()) {
        return true;
    }
    copyPlaceText(component, kStatusComponentChars, componentName);
    copyPlaceText(file, kStatusFileChars, fileName);
    extension[0] = 0;
    line = lineNumber;
    return true;
}

bool tStatusBlock::mergeFrom(const tStatusBlock& other) {
    const bool otherHasPlace = other.hasPlace();
    // Copy the other block's place first: `other` may be this very block.
    char otherComponent[kStatusComponentChars] = {};
    char otherFile[kStatusFileChars] = {};
    std::int32_t otherLine = 0;
    if (otherHasPlace) {
        std::memcpy(otherComponent, other.component, sizeof otherComponent);
        std::memcpy(otherFile, other.file, sizeof otherFile);
        otherComponent[kStatusComponentChars - 1] = '\0';
        otherFile[kStatusFileChars - 1] = '\0';
        otherLine = other.line;
    }
    if (!setCode(other.code, otherComponent, otherFile, otherLine)) {
        return false;
    }
    if (otherHasPlace && hasPlace() && &other != this) {
        std::memcpy(extension, other.extension, sizeof extension);
    }
    return true;
}

}  // namespace nROOTSCOPE_1_0

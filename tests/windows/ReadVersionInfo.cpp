// SPDX-License-Identifier: MIT
// Prints the version block of a Windows executable as Windows itself reads
// it, one "name=value" line per field, for the tests to compare.
#include <windows.h>

#include <cstdio>
#include <vector>

namespace {

struct tTranslation {
    WORD language;
    WORD codePage;
};

void printVersion(const char* name, DWORD high, DWORD low) {
    std::printf("%s=%lu.%lu.%lu.%lu\n", name, high >> 16, high & 0xFFFFu, low >> 16, low & 0xFFFFu);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: read-version-info PROGRAM\n");
        return 2;
    }
    const char* file = argv[1];

    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeA(file, &ignored);
    if (size == 0) {
        std::fprintf(stderr, "%s: no version block (error %lu)\n", file, GetLastError());
        return 1;
    }
    std::vector<char> block(size);
    if (!GetFileVersionInfoA(file, 0, size, block.data())) {
        std::fprintf(stderr, "%s: version block unreadable (error %lu)\n", file, GetLastError());
        return 1;
    }

    void* value = nullptr;
    UINT length = 0;
    if (!VerQueryValueA(block.data(), "\\", &value, &length) || length < sizeof(VS_FIXEDFILEINFO)) {
        std::fprintf(stderr, "%s: no fixed file information\n", file);
        return 1;
    }
    const auto* fixed = static_cast<const VS_FIXEDFILEINFO*>(value);
    printVersion("FixedFileVersion", fixed->dwFileVersionMS, fixed->dwFileVersionLS);
    printVersion("FixedProductVersion", fixed->dwProductVersionMS, fixed->dwProductVersionLS);
    std::printf("FixedFileType=%lu\n", fixed->dwFileType);

    if (!VerQueryValueA(block.data(), "\\VarFileInfo\\Translation", &value, &length) ||
        length < sizeof(tTranslation)) {
        std::fprintf(stderr, "%s: no translation table\n", file);
        return 1;
    }
    const auto* translation = static_cast<const tTranslation*>(value);
    std::printf("Translation=%04x%04x\n", translation->language, translation->codePage);

    const char* const names[] = {"CompanyName",      "FileDescription", "FileVersion",   "InternalName",
                                 "OriginalFilename", "ProductName",     "ProductVersion"};
    for (const char* name : names) {
        char path[128];
        std::snprintf(path, sizeof path, "\\StringFileInfo\\%04x%04x\\%s", translation->language,
                      translation->codePage, name);
        if (VerQueryValueA(block.data(), path, &value, &length) && length > 0) {
            std::printf("%s=%s\n", name, static_cast<const char*>(value));
        } else {
            std::printf("%s=<missing>\n", name);
        }
    }
    return 0;
}

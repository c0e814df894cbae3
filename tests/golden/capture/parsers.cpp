// SPDX-License-Identifier: MIT
// What rootscope-capture must keep, told by the programs' own parsers:
//
//   capture-parsers log|iomem|ioports <FILE   the lines of FILE they take
//   capture-parsers resource FILE...          for each resource file, the
//                                             resourceN_resize files read
//
// so that capture/parsers.sh can hold the capture's line filter and its
// reading of resource files to them, line by line.
#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>
#include <string_view>

#include "LinuxHostParsers.h"

using namespace nROOTSCOPE_1_0;

namespace {

bool taken(std::string_view mode, std::string_view line) {
    if (mode == "log") {
        const auto text = kernelLogRecordText(line);
        return text && (parseRootBridgeAnnouncement(*text) || parseRootBusResource(*text) ||
                        parseRootWindowLine(*text) || parseHostBridgeStart(*text) || parseAssignmentLine(*text));
    }
    if (mode == "iomem" && parseConfigWindowLine(line)) {
        return true;
    }
    const auto resource = parseProcResourceLine(line);
    return resource && parseProcBusName(resource->name);
}

}  // namespace

int main(int argc, char** argv) {
    const std::string_view mode = argc > 1 ? argv[1] : "";
    if (mode == "resource") {
        for (int i = 2; i < argc; ++i) {
            std::ifstream file(argv[i], std::ios::binary);
            const std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
            if (!file.eof() && file.fail()) {
                std::fprintf(stderr, "capture-parsers: cannot read %s\n", argv[i]);
                return 1;
            }
            std::string reason;
            const auto parsed = parseResourceFile(text, false, reason);
            std::cout << argv[i] << ":";
            for (const tFunctionResource& resource : parsed ? parsed->resources : decltype(parsed->resources){}) {
                if (!resource.window && resource.index < 6) {
                    std::cout << " resource" << resource.index << "_resize";
                }
            }
            std::cout << "\n";
        }
        return 0;
    }
    if (mode != "log" && mode != "iomem" && mode != "ioports") {
        std::fprintf(stderr, "usage: capture-parsers log|iomem|ioports <FILE, or resource FILE...\n");
        return 2;
    }
    const std::string all((std::istreambuf_iterator<char>(std::cin)), std::istreambuf_iterator<char>());
    std::string_view text(all);
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        const std::string_view line = text.substr(0, end);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        if (taken(mode, line)) {
            std::cout << line << "\n";
        }
    }
    return 0;
}

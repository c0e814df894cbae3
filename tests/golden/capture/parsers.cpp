// SPDX-License-Identifier: MIT
// What rootscope-capture must keep, told by the programs' own parsers:
//
//   capture-parsers log|iomem|ioports <FILE   the lines of FILE they take
//   capture-parsers resource FILE             the resourceN_resize files
//                                             read beside that resource file
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
    if (mode == "resource" && argc == 3) {
        std::ifstream file(argv[2], std::ios::binary);
        if (!file) {
            std::cerr << "capture-parsers: cannot read " << argv[2] << "\n";
            return 1;
        }
        const std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
        std::string reason;
        const auto parsed = parseResourceFile(text, false, reason);
        std::cout << argv[2] << ":";
        for (const tFunctionResource& resource : parsed ? parsed->resources : std::vector<tFunctionResource>{}) {
            if (!resource.window && resource.index < 6) {
                std::cout << " resource" << resource.index << "_resize";
            }
        }
        std::cout << "\n";
        return 0;
    }
    if (mode != "log" && mode != "iomem" && mode != "ioports") {
        std::cerr << "usage: capture-parsers log|iomem|ioports <FILE, or resource FILE\n";
        return 2;
    }
    const std::string all((std::istreambuf_iterator<char>(std::cin)), std::istreambuf_iterator<char>());
    for (std::string_view text(all); !text.empty();) {
        const std::size_t end = text.find('\n');
        const std::string_view line = text.substr(0, end);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        if (taken(mode, line)) {
            std::cout << line << "\n";
        }
    }
    return 0;
}

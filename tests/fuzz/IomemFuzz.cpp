// SPDX-License-Identifier: MIT
// The /proc/iomem reader over arbitrary bytes, taken as the file's lines:
// the configuration-window line parser, then the choice of each root bus's
// end among the windows found, with a root bus at the start of every window.
//
// Each line is parsed from a heap block of exactly its size, so a read past
// it is caught. Checked: every window has first <= last <= 0xff and a
// canonical rewrite that parses back to it; a chosen end lies between the
// root bus and its window's end and never reaches another root bus above.
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string_view>
#include <vector>

#include "FuzzSupport.h"
#include "LinuxHostParsers.h"

namespace {

constexpr const char* kTarget = "iomem";

void check(bool condition, const char* what) {
    nROOTSCOPE_1_0::fuzz::require(condition, kTarget, what);
}

void checkWindow(const nROOTSCOPE_1_0::tBusWindow& window) {
    check(window.first <= window.last, "window ends below its start");
    check(window.last <= 0xff, "window ends above bus 0xff");

    char canonical[80];
    const int length = std::snprintf(canonical, sizeof canonical, "  e0000000-efffffff : PCI ECAM %04x [bus %02x-%02x]",
                                     static_cast<unsigned>(window.domain), static_cast<unsigned>(window.first),
                                     static_cast<unsigned>(window.last));
    check(length > 0 && static_cast<std::size_t>(length) < sizeof canonical, "canonical line does not fit");
    const std::optional<nROOTSCOPE_1_0::tBusWindow> again = nROOTSCOPE_1_0::parseConfigWindowLine(canonical);
    check(again.has_value(), "canonical rewrite of an accepted line is refused");
    check(again->domain == window.domain && again->first == window.first && again->last == window.last,
          "canonical rewrite parses to another window");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view iomem(reinterpret_cast<const char*>(data), size);
    std::vector<nROOTSCOPE_1_0::tBusWindow> windows;

    nROOTSCOPE_1_0::fuzz::forEachLine(iomem, [&](std::string_view line) {
        const nROOTSCOPE_1_0::fuzz::tExactCopy copy(line);
        const std::optional<nROOTSCOPE_1_0::tBusWindow> window = nROOTSCOPE_1_0::parseConfigWindowLine(copy.view());
        if (window) {
            checkWindow(*window);
            windows.push_back(*window);
        }
    });

    std::vector<nROOTSCOPE_1_0::tRootBus> roots;
    for (const nROOTSCOPE_1_0::tBusWindow& window : windows) {
        roots.push_back({window.domain, window.first});
    }
    const nROOTSCOPE_1_0::tWindowRanges index(windows, roots);
    for (const nROOTSCOPE_1_0::tRootBus& bus : roots) {
        const std::optional<std::uint32_t> end = index.busEnd(bus);
        check(end.has_value(), "a root bus at a window's start finds no end");
        check(*end >= bus.bus && *end <= 0xff, "a chosen end lies outside bus..0xff");
        for (const nROOTSCOPE_1_0::tRootBus& other : roots) {
            check(other.domain != bus.domain || other.bus <= bus.bus || *end < other.bus,
                  "a chosen end reaches the next root bus of its domain");
        }
    }
    return 0;
}

// SPDX-License-Identifier: MIT
// The readers of a machine's address resources over arbitrary bytes: the
// whole input as a function's sysfs "resource" file (either way of typing
// a bridge's windows) and as a bridge's configuration header, and each line
// as a kernel-log "root bus resource" line, an assignment line, a
// resourceN_resize value and a /proc/iomem line.
//
// Each is parsed from a heap block of exactly its size, so a read past it
// is caught. Checked: every range given has first <= last < 2^64 - 1 (or
// is refused with a reason); a resource file's resources come in line
// order, within the layouts the kernel writes; a root window or assignment
// line printed again as the kernel prints it reads back the same.
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

#include "FuzzSupport.h"
#include "LinuxHostParsers.h"

namespace {

constexpr const char* kTarget = "resources";
constexpr std::uint64_t kNoEnd = ~std::uint64_t{0};

void check(bool condition, const char* what) {
    nROOTSCOPE_1_0::fuzz::require(condition, kTarget, what);
}

const char* printedKind(nROOTSCOPE_1_0::tAddressKind kind) {
    return kind == nROOTSCOPE_1_0::tAddressKind::kIo ? "io  " : "mem ";
}

void checkResourceFile(std::string_view input, bool cardBus) {
    const nROOTSCOPE_1_0::fuzz::tExactCopy copy(input);
    std::string reason;
    const auto file = nROOTSCOPE_1_0::parseResourceFile(copy.view(), cardBus, reason);
    if (!file) {
        check(!reason.empty(), "a resource file is refused without a reason");
        return;
    }
    const std::size_t lines = input.size() / 57;
    check(input.size() % 57 == 0 && (lines == 7 || lines == 11 || lines == 12 || lines == 13 || lines == 17 ||
                                     lines == 18),
          "a resource file of another shape is accepted");
    check(file->sriov == (lines == 13 || lines >= 17) && file->windowLines == (lines != 7 && lines != 13),
          "a resource file's layout is not the one its line count says");
    std::size_t previous = 0;
    for (std::size_t k = 0; k < file->resources.size(); ++k) {
        const auto& resource = file->resources[k];
        check(resource.first <= resource.last && resource.last != kNoEnd && resource.last != 0,
              "a resource file gives an impossible range");
        check(resource.index < lines && (k == 0 || resource.index > previous), "resources out of line order");
        check(resource.window == (resource.index >= (file->sriov ? 13u : 7u)), "a window outside the window lines");
        previous = resource.index;
    }
}

void checkConfig(std::string_view input) {
    const nROOTSCOPE_1_0::fuzz::tExactCopy copy(input);
    const auto decoded = nROOTSCOPE_1_0::bridgeWindowsOfConfig(copy.view());
    const unsigned type = input.size() > 0x0e ? static_cast<unsigned char>(input[0x0e]) & 0x7fu : 0;
    check(!decoded || (type == 1 && input.size() >= 0x34) || (type == 2 && input.size() >= 0x40),
          "windows read from a header that is no bridge's");
    if (decoded) {
        for (const auto& window : decoded->windows) {
            check(window.first <= window.last && window.last != kNoEnd, "a config window with an impossible range");
        }
    }
}

void checkRootWindow(std::string_view line) {
    const nROOTSCOPE_1_0::fuzz::tExactCopy copy(line);
    const auto window = nROOTSCOPE_1_0::parseRootWindowLine(copy.view());
    if (!window) {
        return;
    }
    const auto& range = window->range;
    check(window->refused.empty() == (range.first <= range.last && range.last != kNoEnd),
          "a root window is refused, or kept, against the rule");
    char text[192];
    std::snprintf(text, sizeof text, "pci_bus %04x:%02x: root bus resource [%s0x%" PRIx64 "-0x%" PRIx64 "%s%s%s]",
                  static_cast<unsigned>(window->bus.domain), static_cast<unsigned>(window->bus.bus),
                  printedKind(range.kind), range.first, range.last,
                  range.kind == nROOTSCOPE_1_0::tAddressKind::kPrefetchable ? " pref" : "",
                  window->window ? " window" : "", window->disabled ? " disabled" : "");
    const auto again = nROOTSCOPE_1_0::parseRootWindowLine(text);
    check(again && again->bus.domain == window->bus.domain && again->bus.bus == window->bus.bus &&
              again->range.kind == range.kind && again->range.first == range.first &&
              again->range.last == range.last && again->window == window->window &&
              again->disabled == window->disabled,
          "a root window printed as the kernel does reads back otherwise");
}

void checkAssignment(std::string_view line) {
    const nROOTSCOPE_1_0::fuzz::tExactCopy copy(line);
    const auto assignment = nROOTSCOPE_1_0::parseAssignmentLine(copy.view());
    if (!assignment) {
        return;
    }
    check(assignment->size != 0, "an assignment line of size 0");
    check(!assignment->index || *assignment->index <= 17, "an old resource number above 17");
    check(!assignment->resource.empty() || (assignment->index && *assignment->index > 6),
          "a resource the line names is left without a name");
    if (assignment->index) {
        return;
    }
    char text[192];
    std::snprintf(text, sizeof text, "pci %s: %s [%ssize 0x%" PRIx64 "%s%s]: failed to assign",
                  nROOTSCOPE_1_0::formatPciAddress(assignment->address).c_str(), assignment->resource.c_str(),
                  printedKind(assignment->kind), assignment->size, assignment->is64 ? " 64bit" : "",
                  assignment->kind == nROOTSCOPE_1_0::tAddressKind::kPrefetchable ? " pref" : "");
    const auto again = nROOTSCOPE_1_0::parseAssignmentLine(text);
    check(again && again->resource == assignment->resource && again->size == assignment->size &&
              again->kind == assignment->kind && again->is64 == assignment->is64 &&
              nROOTSCOPE_1_0::formatPciAddress(again->address) ==
                  nROOTSCOPE_1_0::formatPciAddress(assignment->address),
          "an assignment line printed as the kernel does reads back otherwise");
}

void checkLine(std::string_view line) {
    checkRootWindow(line);
    checkAssignment(line);
    const nROOTSCOPE_1_0::fuzz::tExactCopy copy(line);
    std::string reason;
    if (const auto size = nROOTSCOPE_1_0::resizableBarMaximum(copy.view(), reason)) {
        check(*size >= (std::uint64_t{1} << 20) && (*size & (*size - 1)) == 0, "a resizable BAR size out of rule");
    }
    if (const auto resource = nROOTSCOPE_1_0::parseProcResourceLine(copy.view())) {
        check(resource->first <= resource->last && copy.holds(resource->name) && !resource->name.empty(),
              "an iomem line with an impossible range or a name outside it");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    checkResourceFile(input, false);
    checkResourceFile(input, true);
    checkConfig(input);
    nROOTSCOPE_1_0::fuzz::forEachLine(input, checkLine);
    return 0;
}

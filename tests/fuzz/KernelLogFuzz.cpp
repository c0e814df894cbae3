// SPDX-License-Identifier: MIT
// The kernel-log readers over arbitrary bytes, taken as the contents of a
// kernel log one record per line: the record-prefix reader, the root-bridge
// announcement parser (on each record's text and on each raw line), the
// "root bus resource [bus ...]" parser and the choice of a root bus's end
// among the announcements found.
//
// Each line is parsed from a heap block of exactly its size, so a read past
// it is caught. Checked on every accepted announcement: a name of 1 to 8
// name-segment bytes, a range with first <= last <= 0xff, and a canonical
// rewrite that parses back to the same values.
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "FuzzSupport.h"
#include "LinuxHostParsers.h"

namespace {

constexpr const char* kTarget = "kernel_log";

void check(bool condition, const char* what) {
    nROOTSCOPE_1_0::fuzz::require(condition, kTarget, what);
}

void checkAnnouncement(const nROOTSCOPE_1_0::tRootBridgeRange& range) {
    check(!range.name.empty() && range.name.size() <= 8, "bridge name of 0 or more than 8 bytes");
    for (char c : range.name) {
        check(nROOTSCOPE_1_0::fuzz::isNameSegByte(c), "bridge name holds a byte outside A-Z a-z 0-9 _");
    }
    check(range.first <= range.last, "bus range ends below its start");
    check(range.last <= 0xff, "bus range ends above 0xff");

    char canonical[96];
    const int length = std::snprintf(canonical, sizeof canonical, "ACPI: PCI Root Bridge [%s] (domain %04x [bus %02x-%02x])",
                                     range.name.c_str(), static_cast<unsigned>(range.domain),
                                     static_cast<unsigned>(range.first), static_cast<unsigned>(range.last));
    check(length > 0 && static_cast<std::size_t>(length) < sizeof canonical, "canonical announcement does not fit");
    const std::optional<nROOTSCOPE_1_0::tRootBridgeRange> again = nROOTSCOPE_1_0::parseRootBridgeAnnouncement(canonical);
    check(again.has_value(), "canonical rewrite of an accepted announcement is refused");
    check(again->name == range.name && again->domain == range.domain && again->first == range.first &&
              again->last == range.last,
          "canonical rewrite parses to other values");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view log(reinterpret_cast<const char*>(data), size);
    std::vector<nROOTSCOPE_1_0::tRootBridgeRange> announcements;

    nROOTSCOPE_1_0::fuzz::forEachLine(log, [&](std::string_view line) {
        const nROOTSCOPE_1_0::fuzz::tExactCopy copy(line);
        const std::optional<std::string_view> text = nROOTSCOPE_1_0::kernelLogRecordText(copy.view());
        if (text) {
            check(copy.holds(*text), "record text lies outside its line");
            check(text->size() < line.size(), "record text is not shorter than its line");
            const nROOTSCOPE_1_0::fuzz::tExactCopy textCopy(*text);
            const std::optional<nROOTSCOPE_1_0::tRootBridgeRange> range =
                nROOTSCOPE_1_0::parseRootBridgeAnnouncement(textCopy.view());
            if (range) {
                checkAnnouncement(*range);
                announcements.push_back(*range);
            }
            if (const auto resource = nROOTSCOPE_1_0::parseRootBusResource(textCopy.view())) {
                check(!range, "a record is both an announcement and a bus resource");
                check(resource->first <= resource->last && resource->last <= 0xff,
                      "a root bus resource outside 00..ff or ending below its start");
            }
        }
        // A line read without its record prefix, as a careless caller might.
        const std::optional<nROOTSCOPE_1_0::tRootBridgeRange> raw = nROOTSCOPE_1_0::parseRootBridgeAnnouncement(copy.view());
        if (raw) {
            checkAnnouncement(*raw);
        }
    });

    // Every announced bridge finds an end, never below its first bus: the
    // latest announcement for it, which may be another line than its own.
    const nROOTSCOPE_1_0::tAnnouncedRanges index(announcements);
    for (const nROOTSCOPE_1_0::tRootBridgeRange& range : announcements) {
        const std::optional<std::uint32_t> end = index.busEnd(range.name, {range.domain, range.first});
        check(end.has_value(), "an announced bridge finds no end");
        check(*end >= range.first && *end <= 0xff, "a chosen end lies outside first..0xff");
    }
    return 0;
}

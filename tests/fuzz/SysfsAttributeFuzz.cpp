// SPDX-License-Identifier: MIT
// The sysfs attribute value readers and the instance-ID rule over arbitrary
// bytes: hid, uid, status and path values as a file might hold them, and an
// entry name, each parsed from a heap block of exactly its size.
//
// Input: four length bytes (hid, uid, status, path; each cut to what is
// left), the four values, then the entry name. The values reach the parsers
// as the attribute reader hands them over, at most 255 bytes each here
// (the reader refuses anything above its 256-byte bound before parsing).
//
// Checked: a value is used in an ID exactly when the rule allows it; the ID
// fits the ID buffer, reads "ACPI\" then one or two parts of 1 to 64 bytes
// without control bytes, blanks, commas or backslashes, and carries the
// usable hid and uid unchanged; a status equals an independent decimal
// conversion; a path gives its last segment of 1 to 8 name-segment bytes, less
// the underscores the kernel drops from its positions 3 and 2.
#include <charconv>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "DevMgr.h"
#include "FuzzSupport.h"
#include "LinuxHostParsers.h"

namespace {

constexpr const char* kTarget = "sysfs_attribute";

void check(bool condition, const char* what) {
    nROOTSCOPE_1_0::fuzz::require(condition, kTarget, what);
}

bool isIdByte(char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte >= 0x21 && byte <= 0x7e && c != '\\' && c != ',';
}

std::string_view lessOneNewline(std::string_view raw) {
    if (!raw.empty() && raw.back() == '\n') {
        raw.remove_suffix(1);
    }
    return raw;
}

// The rule, restated from its description: less one trailing newline, 1 to
// 64 bytes, each printable ASCII other than space, backslash and comma.
bool usableInId(std::string_view raw) {
    const std::string_view value = lessOneNewline(raw);
    if (value.empty() || value.size() > nROOTSCOPE_1_0::kMaxIdPartLength) {
        return false;
    }
    for (char c : value) {
        if (!isIdByte(c)) {
            return false;
        }
    }
    return true;
}

bool isIdPart(std::string_view part) {
    if (part.empty() || part.size() > nROOTSCOPE_1_0::kMaxIdPartLength) {
        return false;
    }
    for (char c : part) {
        if (!isIdByte(c)) {
            return false;
        }
    }
    return true;
}

std::optional<std::string> idValue(std::string_view raw) {
    const nROOTSCOPE_1_0::fuzz::tExactCopy copy(raw);
    const std::optional<std::string> value = nROOTSCOPE_1_0::idAttribute(copy.view());
    check(value.has_value() == usableInId(raw), "an ID value is used against the rule, or refused by it");
    if (value) {
        check(*value == lessOneNewline(raw), "a usable ID value is changed");
    }
    return value;
}

void checkStatus(std::string_view raw) {
    const nROOTSCOPE_1_0::fuzz::tExactCopy copy(raw);
    const std::optional<std::uint64_t> status = nROOTSCOPE_1_0::decimalAttribute(copy.view());
    const std::string_view value = lessOneNewline(raw);
    std::uint64_t expected = 0;
    const auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), expected);
    // from_chars takes no sign for an unsigned type, so "digits only" is
    // the whole value converted without error.
    const bool valid = !value.empty() && error == std::errc() && end == value.data() + value.size();
    check(status.has_value() == valid, "a status is read against the decimal rule");
    if (status) {
        check(*status == expected, "a status reads as another number");
    }
}

void checkPath(std::string_view raw) {
    const nROOTSCOPE_1_0::fuzz::tExactCopy copy(raw);
    const std::optional<std::string> name = nROOTSCOPE_1_0::acpiBusIdOfPath(copy.view());
    if (!name) {
        return;
    }
    check(!name->empty() && name->size() <= 8, "a path gives a name of 0 or more than 8 bytes");
    for (char c : *name) {
        check(nROOTSCOPE_1_0::fuzz::isNameSegByte(c), "a path gives a name with a byte outside A-Z a-z 0-9 _");
    }
    // The name is the path's last segment, less at most the underscores
    // the kernel drops from positions 3 and 2 of a four-byte segment.
    const std::string_view path = lessOneNewline(raw);
    const std::size_t cut = path.find_last_of(".\\");
    const std::string_view segment = cut == std::string_view::npos ? path : path.substr(cut + 1);
    check(segment.substr(0, name->size()) == *name, "a path gives a name that does not begin its last segment");
    const std::string_view dropped = segment.substr(name->size());
    check(dropped.find_first_not_of('_') == std::string_view::npos, "a path's name drops more than underscores");
    check(dropped.empty() || (segment.size() == 4 && name->size() >= 2),
          "a path's name drops underscores outside positions 3 and 2");
}

void checkInstanceId(const std::optional<std::string>& hid, const std::optional<std::string>& uid,
                     std::string_view entryName) {
    const nROOTSCOPE_1_0::fuzz::tExactCopy name(entryName);
    const std::string id = nROOTSCOPE_1_0::makeInstanceId(hid, uid, name.view());
    check(id.size() < nROOTSCOPE_1_0::kInstanceIdBufferSize, "an instance ID does not fit the ID buffer");
    check(id.compare(0, 5, "ACPI\\") == 0, "an instance ID does not begin with ACPI\\");

    std::vector<std::string_view> parts;
    std::string_view rest = std::string_view(id).substr(5);
    for (std::size_t cut = rest.find('\\'); cut != std::string_view::npos; cut = rest.find('\\')) {
        parts.push_back(rest.substr(0, cut));
        rest.remove_prefix(cut + 1);
    }
    parts.push_back(rest);
    for (std::string_view part : parts) {
        check(isIdPart(part), "an instance ID part is empty, too long or holds a refused byte");
    }
    if (hid) {
        check(parts.size() == 2 && parts[0] == *hid, "an ID with a usable hid does not carry it as its first part");
        if (uid) {
            check(parts[1] == *uid, "an ID with usable hid and uid does not carry the uid");
        }
    } else {
        check(parts.size() == 1, "an ID without a usable hid has more than one part");
    }

    // The survey's matcher reads the ID from the buffer it is copied into.
    char buffer[nROOTSCOPE_1_0::kInstanceIdBufferSize] = {};
    id.copy(buffer, sizeof buffer - 1);
    nROOTSCOPE_1_0::instanceIdMatches(buffer, sizeof buffer, nROOTSCOPE_1_0::kPciExpressRootBridgePattern);

    const std::string sanitised = nROOTSCOPE_1_0::sanitisedEntryName(name.view());
    check(isIdPart(sanitised), "a sanitised entry name is empty, too long or holds a refused byte");
}

void checkHostBridgeName(std::string_view name) {
    const nROOTSCOPE_1_0::fuzz::tExactCopy copy(name);
    const std::optional<nROOTSCOPE_1_0::tRootBus> bus = nROOTSCOPE_1_0::parseHostBridgeName(copy.view());
    if (bus) {
        check(bus->bus <= 0xff, "a host bridge name gives a bus above 0xff");
        check(name.size() >= 10 && name.size() <= 14 && name.substr(0, 3) == "pci", "a host bridge name of another shape is accepted");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 4) {
        return 0;
    }
    std::string_view rest(reinterpret_cast<const char*>(data + 4), size - 4);
    std::string_view fields[4];
    for (std::size_t i = 0; i < 4; ++i) {
        const std::size_t length = data[i] < rest.size() ? data[i] : rest.size();
        fields[i] = rest.substr(0, length);
        rest.remove_prefix(length);
    }
    const std::string_view entryName = rest;

    const std::optional<std::string> hid = idValue(fields[0]);
    const std::optional<std::string> uid = idValue(fields[1]);
    checkStatus(fields[2]);
    checkPath(fields[3]);
    checkInstanceId(hid, uid, entryName);
    checkHostBridgeName(entryName);
    return 0;
}

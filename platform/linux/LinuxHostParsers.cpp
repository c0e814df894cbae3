// SPDX-License-Identifier: MIT
#include "LinuxHostParsers.h"

#include <algorithm>
#include <utility>

#include "AsciiCase.h"

namespace nROOTSCOPE_1_0 {

namespace {

bool isBlank(char c) {
    return c == ' ' || c == '\t';
}

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    const char lower = asciiLower(c);
    if (lower >= 'a' && lower <= 'f') {
        return lower - 'a' + 10;
    }
    return -1;
}

// Bytes allowed in a part of an instance ID.
bool isIdByte(char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte > 0x20 && byte < 0x7f && c != '\\' && c != ',';
}

bool isNameSegByte(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || isDigit(c) || c == '_';
}

// A line holding a NUL was not written as text: none of it is trusted.
bool holdsNul(std::string_view text) {
    return text.find('\0') != std::string_view::npos;
}

std::string_view withoutTrailingNewline(std::string_view raw) {
    if (!raw.empty() && raw.back() == '\n') {
        raw.remove_suffix(1);
    }
    return raw;
}

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (asciiLower(a[i]) != asciiLower(b[i])) {
            return false;
        }
    }
    return true;
}

// A cursor over one line. Each step either consumes what it expects and
// returns true, or returns false; a failed step may have moved the cursor,
// so callers give up on the line at the first false.
class tScanner {
public:
    explicit tScanner(std::string_view text) : text_(text) {}

    bool atEnd() const { return pos_ >= text_.size(); }
    std::size_t position() const { return pos_; }

    void skipBlanks() {
        while (!atEnd() && isBlank(text_[pos_])) {
            ++pos_;
        }
    }

    // At least one blank.
    bool blanks() {
        const std::size_t start = pos_;
        skipBlanks();
        return pos_ > start;
    }

    // `word` in any letter case.
    bool word(std::string_view expected) {
        if (text_.size() - pos_ < expected.size() || !equalsIgnoringCase(text_.substr(pos_, expected.size()), expected)) {
            return false;
        }
        pos_ += expected.size();
        return true;
    }

    bool character(char c) {
        if (atEnd() || text_[pos_] != c) {
            return false;
        }
        ++pos_;
        return true;
    }

    // `minDigits` to `maxDigits` hex digits, and no further digit after them.
    bool hex(std::size_t minDigits, std::size_t maxDigits, std::uint32_t& value) {
        std::uint32_t result = 0;
        std::size_t digits = 0;
        while (!atEnd() && hexValue(text_[pos_]) >= 0) {
            if (digits == maxDigits) {
                return false;
            }
            result = result * 16 + static_cast<std::uint32_t>(hexValue(text_[pos_]));
            ++digits;
            ++pos_;
        }
        if (digits < minDigits) {
            return false;
        }
        value = result;
        return true;
    }

    // Bytes up to (not including) `stop`, 1 to `maxLength` of them.
    bool until(char stop, std::size_t maxLength, std::string_view& taken) {
        const std::size_t start = pos_;
        while (!atEnd() && text_[pos_] != stop) {
            ++pos_;
        }
        if (atEnd() || pos_ == start || pos_ - start > maxLength) {
            return false;
        }
        taken = text_.substr(start, pos_ - start);
        return true;
    }

    // Finds `needle` (any letter case) and moves just past it.
    bool skipPast(std::string_view needle) {
        if (needle.size() > text_.size()) {
            return false;
        }
        for (std::size_t at = pos_; at + needle.size() <= text_.size(); ++at) {
            if (equalsIgnoringCase(text_.substr(at, needle.size()), needle)) {
                pos_ = at + needle.size();
                return true;
            }
        }
        return false;
    }

private:
    std::string_view text_;
    std::size_t pos_ = 0;
};

// "[bus XX]" or "[bus XX-YY]": a bus range as the kernel prints one.
bool busRange(tScanner& scan, std::uint32_t& first, std::uint32_t& last) {
    scan.skipBlanks();
    if (!scan.character('[')) {
        return false;
    }
    scan.skipBlanks();
    if (!scan.word("bus") || !scan.blanks() || !scan.hex(1, 2, first)) {
        return false;
    }
    last = first;
    if (scan.character('-') && !scan.hex(1, 2, last)) {
        return false;
    }
    scan.skipBlanks();
    return scan.character(']') && first <= last;
}

}  // namespace

std::optional<std::string_view> kernelLogRecordText(std::string_view line) {
    if (holdsNul(line)) {
        return std::nullopt;
    }
    // The prefix is "level,sequence,timestamp,flags[,...]": it begins with a
    // digit and holds no blank before its ';'.
    if (line.empty() || !isDigit(line.front())) {
        return std::nullopt;
    }
    for (std::size_t i = 0; i < line.size(); ++i) {
        if (line[i] == ';') {
            return withoutTrailingNewline(line.substr(i + 1));
        }
        if (isBlank(line[i]) || line[i] == '\n' || line[i] == '\0') {
            return std::nullopt;
        }
    }
    return std::nullopt;
}

std::optional<tRootBridgeRange> parseRootBridgeAnnouncement(std::string_view text) {
    if (holdsNul(text)) {
        return std::nullopt;
    }
    tScanner scan(text);
    scan.skipBlanks();
    if (!scan.word("ACPI:") || !scan.blanks() || !scan.word("PCI") || !scan.blanks() || !scan.word("Root") ||
        !scan.blanks() || !scan.word("Bridge")) {
        return std::nullopt;
    }
    scan.skipBlanks();
    std::string_view name;
    if (!scan.character('[') || !scan.until(']', 8, name) || !scan.character(']')) {
        return std::nullopt;
    }
    for (char c : name) {
        if (!isNameSegByte(c)) {
            return std::nullopt;
        }
    }
    tRootBridgeRange range;
    scan.skipBlanks();
    if (!scan.character('(')) {
        return std::nullopt;
    }
    scan.skipBlanks();
    if (!scan.word("domain") || !scan.blanks() || !scan.hex(1, 8, range.domain)) {
        return std::nullopt;
    }
    if (!busRange(scan, range.first, range.last)) {
        return std::nullopt;
    }
    scan.skipBlanks();
    if (!scan.character(')')) {
        return std::nullopt;
    }
    range.name = std::string(name);
    return range;
}

std::optional<tBusWindow> parseConfigWindowLine(std::string_view line) {
    // "start-end : PCI ECAM DDDD [bus XX-YY]"; only the part after the
    // first " : " names the window.
    if (holdsNul(line)) {
        return std::nullopt;
    }
    tScanner scan(line);
    if (!scan.skipPast(" : ")) {
        return std::nullopt;
    }
    scan.skipBlanks();
    if (!scan.word("PCI") || !scan.blanks()) {
        return std::nullopt;
    }
    if (!scan.word("ECAM") && !scan.word("MMCONFIG")) {
        return std::nullopt;
    }
    tBusWindow window;
    if (!scan.blanks() || !scan.hex(1, 8, window.domain)) {
        return std::nullopt;
    }
    if (!busRange(scan, window.first, window.last)) {
        return std::nullopt;
    }
    scan.skipBlanks();
    if (!scan.atEnd() && !scan.character('\n')) {
        return std::nullopt;
    }
    return window;
}

std::optional<tBusWindow> parseRootBusResource(std::string_view text) {
    if (holdsNul(text)) {
        return std::nullopt;
    }
    tScanner scan(text);
    tBusWindow window;
    std::uint32_t bus = 0;
    scan.skipBlanks();
    if (!scan.word("pci_bus") || !scan.blanks() || !scan.hex(4, 8, window.domain) || !scan.character(':') ||
        !scan.hex(2, 2, bus) || !scan.character(':') || !scan.blanks() || !scan.word("root") || !scan.blanks() ||
        !scan.word("bus") || !scan.blanks() || !scan.word("resource")) {
        return std::nullopt;
    }
    if (!busRange(scan, window.first, window.last) || window.first != bus) {
        return std::nullopt;
    }
    scan.skipBlanks();
    return scan.atEnd() ? std::optional<tBusWindow>(window) : std::nullopt;
}

std::optional<tPciAddress> parsePciAddress(std::string_view name) {
    tScanner scan(name);
    tPciAddress address;
    if (!scan.hex(4, 8, address.domain) || !scan.character(':') || !scan.hex(2, 2, address.bus) ||
        !scan.character(':') || !scan.hex(2, 2, address.device) || !scan.character('.') ||
        !scan.hex(1, 1, address.function) || !scan.atEnd() || address.device > 0x1f || address.function > 7) {
        return std::nullopt;
    }
    return address;
}

std::optional<std::uint32_t> busNumberAttribute(std::string_view raw) {
    const std::optional<std::uint64_t> value = decimalAttribute(raw);
    if (!value || *value > 0xff) {
        return std::nullopt;
    }
    return static_cast<std::uint32_t>(*value);
}

std::optional<std::uint32_t> pciClassAttribute(std::string_view raw) {
    tScanner scan(withoutTrailingNewline(raw));
    std::uint32_t value = 0;
    if (!scan.character('0') || !scan.character('x') || !scan.hex(6, 6, value) || !scan.atEnd()) {
        return std::nullopt;
    }
    return value;
}

std::optional<tSlotAddress> parseSlotAddress(std::string_view raw) {
    tScanner scan(withoutTrailingNewline(raw));
    tSlotAddress address;
    if (!scan.hex(4, 8, address.domain) || !scan.character(':') || !scan.hex(2, 2, address.bus)) {
        return std::nullopt;
    }
    if (scan.atEnd()) {
        return address;
    }
    std::uint32_t device = 0;
    if (!scan.character(':') || !scan.hex(2, 2, device) || !scan.atEnd() || device > 0x1f) {
        return std::nullopt;
    }
    address.device = device;
    return address;
}

std::optional<tBridgeBuses> bridgeBusesOfConfig(std::string_view config) {
    constexpr std::size_t kHeaderType = 0x0e;
    constexpr std::size_t kSecondary = 0x19;
    constexpr std::size_t kSubordinate = 0x1a;
    if (config.size() <= kSubordinate) {
        return std::nullopt;
    }
    const unsigned type = static_cast<unsigned char>(config[kHeaderType]) & 0x7fu;
    if (type != 1 && type != 2) {
        return std::nullopt;
    }
    return tBridgeBuses{static_cast<unsigned char>(config[kSecondary]),
                        static_cast<unsigned char>(config[kSubordinate])};
}

std::optional<tRootBus> parseHostBridgeName(std::string_view name) {
    tScanner scan(name);
    tRootBus bus;
    if (!scan.character('p') || !scan.character('c') || !scan.character('i') || !scan.hex(4, 8, bus.domain) ||
        !scan.character(':')) {
        return std::nullopt;
    }
    const std::size_t busStart = scan.position();
    if (!scan.hex(2, 2, bus.bus) || scan.position() != busStart + 2 || !scan.atEnd()) {
        return std::nullopt;
    }
    return bus;
}

std::optional<std::string> acpiBusIdOfPath(std::string_view raw) {
    const std::string_view path = withoutTrailingNewline(raw);
    const std::size_t cut = path.find_last_of(".\\");
    const std::string_view segment = cut == std::string_view::npos ? path : path.substr(cut + 1);
    if (segment.empty() || segment.size() > 8) {
        return std::nullopt;
    }
    for (char c : segment) {
        if (!isNameSegByte(c)) {
            return std::nullopt;
        }
    }
    // The kernel takes a name segment as four bytes and drops an underscore
    // at position 3, then one at position 2, as long as each is the last.
    std::string id(segment);
    for (std::size_t position = 3; position > 1; --position) {
        if (id.size() != position + 1 || id.back() != '_') {
            break;
        }
        id.pop_back();
    }
    return id;
}

std::optional<std::string> idAttribute(std::string_view raw) {
    const std::string_view value = withoutTrailingNewline(raw);
    if (value.empty() || value.size() > kMaxIdPartLength) {
        return std::nullopt;
    }
    for (char c : value) {
        if (!isIdByte(c)) {
            return std::nullopt;
        }
    }
    return std::string(value);
}

std::optional<std::uint64_t> decimalAttribute(std::string_view raw) {
    const std::string_view value = withoutTrailingNewline(raw);
    if (value.empty()) {
        return std::nullopt;
    }
    std::uint64_t result = 0;
    for (char c : value) {
        if (!isDigit(c)) {
            return std::nullopt;
        }
        const auto digit = static_cast<std::uint64_t>(c - '0');
        if (result > (~std::uint64_t{0} - digit) / 10) {
            return std::nullopt;
        }
        result = result * 10 + digit;
    }
    return result;
}

std::string sanitisedEntryName(std::string_view name) {
    if (name.empty()) {
        return std::string(1, '_');
    }
    std::string result(name.substr(0, kMaxIdPartLength));
    for (char& c : result) {
        if (!isIdByte(c)) {
            c = '_';
        }
    }
    return result;
}

std::string makeInstanceId(const std::optional<std::string>& hid, const std::optional<std::string>& uid,
                           std::string_view entryName) {
    std::string id = "ACPI\\";
    if (!hid) {
        return id + sanitisedEntryName(entryName);
    }
    id += *hid;
    id += '\\';
    if (uid) {
        return id + *uid;
    }
    const std::size_t colon = entryName.rfind(':');
    if (colon != std::string_view::npos) {
        tScanner scan(entryName.substr(colon + 1));
        std::uint32_t instance = 0;
        if (scan.hex(1, 8, instance) && scan.atEnd()) {
            return id + std::to_string(instance);
        }
    }
    return id + sanitisedEntryName(entryName);
}

namespace {

// A key for a bridge: domain and first bus as bytes, then the name in lower
// case, so that two keys are equal exactly when the announcement matches.
std::string announcementKey(std::string_view name, tRootBus bus) {
    std::string key;
    key.reserve(5 + name.size());
    for (int shift = 0; shift < 32; shift += 8) {
        key += static_cast<char>((bus.domain >> shift) & 0xffu);
    }
    key += static_cast<char>(bus.bus & 0xffu);
    for (char c : name) {
        key += asciiLower(c);
    }
    return key;
}

bool busOrder(const tRootBus& a, const tRootBus& b) {
    return a.domain != b.domain ? a.domain < b.domain : a.bus < b.bus;
}

}  // namespace

tAnnouncedRanges::tAnnouncedRanges(const std::vector<tRootBridgeRange>& announcements) {
    ends_.reserve(announcements.size());
    for (const tRootBridgeRange& range : announcements) {
        ends_[announcementKey(range.name, {range.domain, range.first})] = range.last;
    }
}

std::optional<std::uint32_t> tAnnouncedRanges::busEnd(std::string_view name, tRootBus bus) const {
    if (name.empty() || bus.bus > 0xff) {
        return std::nullopt;
    }
    const auto found = ends_.find(announcementKey(name, bus));
    return found == ends_.end() ? std::nullopt : std::optional<std::uint32_t>(found->second);
}

namespace {

std::uint64_t busKey(tRootBus bus) {
    return (std::uint64_t{bus.domain} << 8) | (bus.bus & 0xffu);
}

}  // namespace

tBusResourceRanges::tBusResourceRanges(const std::vector<tBusWindow>& resources) {
    ends_.reserve(resources.size());
    for (const tBusWindow& resource : resources) {
        ends_[busKey({resource.domain, resource.first})] = resource.last;
    }
}

std::optional<std::uint32_t> tBusResourceRanges::busEnd(tRootBus bus) const {
    if (bus.bus > 0xff) {
        return std::nullopt;
    }
    const auto found = ends_.find(busKey(bus));
    return found == ends_.end() ? std::nullopt : std::optional<std::uint32_t>(found->second);
}

tWindowRanges::tWindowRanges(const std::vector<tBusWindow>& windows, std::vector<tRootBus> rootBuses)
    : sortedRootBuses_(std::move(rootBuses)) {
    for (const tBusWindow& window : windows) {
        if (window.first > window.last || window.last > 0xff) {
            continue;  // the parser gives none such; a caller might
        }
        auto [slot, added] = firstWindowEnd_.try_emplace(window.domain);
        if (added) {
            slot->second.fill(-1);
        }
        for (std::uint32_t bus = window.first; bus <= window.last; ++bus) {
            if (slot->second[bus] < 0) {
                slot->second[bus] = static_cast<std::int16_t>(window.last);
            }
        }
    }
    std::sort(sortedRootBuses_.begin(), sortedRootBuses_.end(), busOrder);
}

std::optional<std::uint32_t> tWindowRanges::busEnd(tRootBus bus) const {
    const auto domain = firstWindowEnd_.find(bus.domain);
    if (bus.bus > 0xff || domain == firstWindowEnd_.end() || domain->second[bus.bus] < 0) {
        return std::nullopt;
    }
    auto end = static_cast<std::uint32_t>(domain->second[bus.bus]);
    const auto next = std::upper_bound(sortedRootBuses_.begin(), sortedRootBuses_.end(), bus, busOrder);
    if (next != sortedRootBuses_.end() && next->domain == bus.domain && next->bus - 1 < end) {
        end = next->bus - 1;
    }
    return end;
}

}  // namespace nROOTSCOPE_1_0

// SPDX-License-Identifier: MIT
#include "LinuxHostParsers.h"

#include <algorithm>
#include <bit>
#include <cstdio>
#include <unordered_map>
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
    void rewind(std::size_t position) { pos_ = position; }
    std::string_view rest() const { return text_.substr(pos_); }

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

    // `minDigits` to `maxDigits` (at most 8) hex digits, and no further
    // digit after them.
    bool hex(std::size_t minDigits, std::size_t maxDigits, std::uint32_t& value) {
        std::uint64_t wide = 0;
        if (maxDigits > 8 || !hex64(minDigits, maxDigits, wide)) {
            return false;
        }
        value = static_cast<std::uint32_t>(wide);
        return true;
    }

    // As hex(), for up to 16 digits of a 64-bit value.
    bool hex64(std::size_t minDigits, std::size_t maxDigits, std::uint64_t& value) {
        std::uint64_t result = 0;
        std::size_t digits = 0;
        while (!atEnd() && hexValue(text_[pos_]) >= 0) {
            if (digits == maxDigits || digits == 16) {
                return false;
            }
            result = result * 16 + static_cast<std::uint64_t>(hexValue(text_[pos_]));
            ++digits;
            ++pos_;
        }
        if (digits < minDigits) {
            return false;
        }
        value = result;
        return true;
    }

    // "0x" and 1 to 16 hex digits.
    bool prefixedHex64(std::uint64_t& value) { return character('0') && character('x') && hex64(1, 16, value); }

    // 1 to `maxDigits` decimal digits.
    bool decimal(std::size_t maxDigits, std::uint32_t& value) {
        std::uint32_t result = 0;
        std::size_t digits = 0;
        while (!atEnd() && isDigit(text_[pos_])) {
            if (digits == maxDigits) {
                return false;
            }
            result = result * 10 + static_cast<std::uint32_t>(text_[pos_] - '0');
            ++digits;
            ++pos_;
        }
        if (digits == 0) {
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

// ---- address resources ----------------------------------------------------

namespace {

// The flag bits of a struct resource that the kernel shows in sysfs
// (include/linux/ioport.h; "don't move them").
constexpr std::uint64_t kIoResourceIo = 0x100;
constexpr std::uint64_t kIoResourceMem = 0x200;
constexpr std::uint64_t kIoResourceOldPrefetch = 0x1000;  // before the bus-number type took the bit
constexpr std::uint64_t kIoResourcePrefetch = 0x2000;
constexpr std::uint64_t kIoResourceMem64 = 0x100000;
constexpr std::uint64_t kIoResourceDisabled = 0x10000000;
constexpr std::uint64_t kIoResourceUnset = 0x20000000;
constexpr std::uint64_t kIoResourcePciEaBei = 0x20;  // an Enhanced Allocation entry: any size

constexpr std::uint64_t kNoEnd = ~std::uint64_t{0};

std::string hexText(std::uint64_t value) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(value));
    return text;
}

// A range that cannot be one, said as a reason; empty when it can.
std::string impossibleRange(std::uint64_t first, std::uint64_t last) {
    if (first > last) {
        return "it starts at " + hexText(first) + ", above its end " + hexText(last);
    }
    if (last == kNoEnd) {
        return "it ends at 2^64 - 1, where no range can end";
    }
    return {};
}

// `words`, separated in the text by blanks, in any letter case.
bool phrase(tScanner& scan, std::string_view words) {
    for (bool first = true; !words.empty(); first = false) {
        const std::size_t space = words.find(' ');
        const std::string_view word = words.substr(0, space);
        if ((!first && !scan.blanks()) || !scan.word(word)) {
            return false;
        }
        words.remove_prefix(space == std::string_view::npos ? words.size() : space + 1);
    }
    return true;
}

// A resource as the kernel prints one (%pR, lib/vsprintf.c): "[io
// 0x0000-0x0cf7 window]", "[mem 0xfe000000]" (one address), "[mem size
// 0x400000000 64bit pref]" (not yet given an address). I/O and memory only.
struct tPrintedResource {
    tAddressKind kind = tAddressKind::kMemory;
    bool sized = false;
    std::uint64_t first = 0;
    std::uint64_t last = 0;
    std::uint64_t size = 0;
    bool is64 = false;
    bool window = false;
    bool disabled = false;
};

bool printedResource(tScanner& scan, tPrintedResource& printed) {
    if (!scan.character('[')) {
        return false;
    }
    bool io = false;
    if (scan.word("io")) {
        io = true;
    } else if (!scan.word("mem")) {
        return false;
    }
    if (!scan.blanks()) {
        return false;
    }
    if (scan.word("size")) {
        printed.sized = true;
        if (!scan.blanks() || !scan.prefixedHex64(printed.size)) {
            return false;
        }
    } else {
        if (!scan.prefixedHex64(printed.first)) {
            return false;
        }
        printed.last = printed.first;
        if (scan.character('-') && !scan.prefixedHex64(printed.last)) {
            return false;
        }
    }
    bool prefetchable = false;
    while (!scan.character(']')) {
        if (!scan.blanks()) {
            return false;
        }
        if (scan.word("64bit")) {
            printed.is64 = true;
        } else if (scan.word("pref")) {
            prefetchable = true;
        } else if (scan.word("window")) {
            printed.window = true;
        } else if (scan.word("disabled")) {
            printed.disabled = true;
        } else {
            return false;
        }
    }
    printed.kind = io ? tAddressKind::kIo : prefetchable ? tAddressKind::kPrefetchable : tAddressKind::kMemory;
    return true;
}

// "pci 0000:07:00.0: " or "nvidia 0000:07:00.0: ": the device prefix of a
// line a PCI function's driver core or driver logged.
bool devicePrefix(tScanner& scan, tPciAddress& address) {
    std::string_view driver;
    scan.skipBlanks();
    if (!scan.until(' ', 64, driver) || !scan.blanks()) {
        return false;
    }
    return scan.hex(4, 8, address.domain) && scan.character(':') && scan.hex(2, 2, address.bus) &&
           scan.character(':') && scan.hex(2, 2, address.device) && scan.character('.') &&
           scan.hex(1, 1, address.function) && scan.character(':') && scan.blanks() && address.device <= 0x1f &&
           address.function <= 7;
}

// The new format's name of a resource: "BAR 0".."BAR 5", "ROM", "VF BAR
// 0".."VF BAR 5", "bridge window".
bool resourceNameWords(tScanner& scan, std::string& name) {
    std::uint32_t number = 0;
    if (scan.word("bridge")) {
        name = "bridge window";
        return scan.blanks() && scan.word("window");
    }
    if (scan.word("ROM")) {
        name = "ROM";
        return true;
    }
    const bool virtualFunction = scan.word("VF");
    if ((virtualFunction && !scan.blanks()) || !scan.word("BAR") || !scan.blanks() || !scan.decimal(1, number) ||
        number > 5) {
        return false;
    }
    name = (virtualFunction ? "VF BAR " : "BAR ") + std::to_string(number);
    return true;
}

bool endOfLine(tScanner& scan) {
    scan.skipBlanks();
    return scan.atEnd();
}

std::uint32_t configWord(std::string_view config, std::size_t at) {
    return static_cast<std::uint32_t>(static_cast<unsigned char>(config[at])) |
           static_cast<std::uint32_t>(static_cast<unsigned char>(config[at + 1])) << 8;
}

std::uint64_t configDword(std::string_view config, std::size_t at) {
    return std::uint64_t{configWord(config, at)} | std::uint64_t{configWord(config, at + 2)} << 16;
}

// The size, kind and name of an assignment line read up to its end.
std::optional<tAssignmentLine> finishAssignment(tAssignmentLine& line, const tPrintedResource& printed) {
    // A kernel with at most 18 resources a function numbers them 0 to 17.
    if (line.index) {
        if (*line.index > 17) {
            return std::nullopt;
        }
        if (*line.index <= 6) {
            line.resource = *line.index < 6 ? "BAR " + std::to_string(*line.index) : "ROM";
        }
    }
    if (printed.sized) {
        line.size = printed.size;
    } else if (printed.first <= printed.last && !(printed.first == 0 && printed.last == kNoEnd)) {
        line.size = printed.last - printed.first + 1;  // kernels before IORESOURCE_UNSET printed the range from 0
    }
    if (line.size == 0) {
        return std::nullopt;
    }
    line.kind = printed.kind;
    line.is64 = printed.is64;
    return line;
}

}  // namespace

std::string resourceName(std::size_t index, std::optional<bool> sriov) {
    if (index < 6) {
        return "BAR " + std::to_string(index);
    }
    if (index == 6) {
        return "ROM";
    }
    if (sriov && *sriov && index <= 12) {
        return "VF BAR " + std::to_string(index - 7);
    }
    if (sriov && index >= (*sriov ? 13u : 7u) && index <= (*sriov ? 16u : 10u)) {
        return "bridge window";
    }
    return "resource " + std::to_string(index);
}

std::optional<tResourceFile> parseResourceFile(std::string_view text, bool cardBus, std::string& reason) {
    struct tLine {
        std::uint64_t start = 0;
        std::uint64_t end = 0;
        std::uint64_t flags = 0;
    };
    // No kernel writes more than 18 lines; a longer file is refused at the
    // 19th, however long it is.
    constexpr std::size_t kMostLines = 18;
    if (holdsNul(text)) {
        reason = "it holds a NUL";
        return std::nullopt;
    }
    if (text.empty() || text.back() != '\n') {
        reason = text.empty() ? "it is empty" : "its last line has no end";
        return std::nullopt;
    }
    std::vector<tLine> lines;
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        tScanner scan(text.substr(0, end));
        text.remove_prefix(end + 1);
        if (lines.size() == kMostLines) {
            reason = "it has more than " + std::to_string(kMostLines) + " lines";
            return std::nullopt;
        }
        tLine line;
        if (!scan.character('0') || !scan.character('x') || !scan.hex64(16, 16, line.start) || !scan.character(' ') ||
            !scan.character('0') || !scan.character('x') || !scan.hex64(16, 16, line.end) || !scan.character(' ') ||
            !scan.character('0') || !scan.character('x') || !scan.hex64(16, 16, line.flags) || !scan.atEnd()) {
            reason = "line " + std::to_string(lines.size() + 1) + " is not three numbers of 16 hex digits";
            return std::nullopt;
        }
        lines.push_back(line);
    }
    const std::size_t count = lines.size();
    if (count != 7 && count != 11 && count != 12 && count != 13 && count != 17 && count != 18) {
        reason = "it has " + std::to_string(count) + " lines, where the kernel writes 7, 11, 12, 13, 17 or 18";
        return std::nullopt;
    }
    tResourceFile file;
    file.sriov = count == 13 || count >= 17;
    file.windowLines = count != 7 && count != 13;
    const std::size_t firstWindow = file.sriov ? 13 : 7;
    for (std::size_t index = 0; index < count; ++index) {
        const tLine& line = lines[index];
        const bool window = index >= firstWindow;
        tFunctionResource resource;
        resource.index = index;
        resource.name = window ? "bridge window" : resourceName(index, file.sriov);
        resource.first = line.start;
        resource.last = line.end;
        resource.window = window;
        if (line.end == 0) {
            continue;  // nothing there: an empty BAR, a closed or absent window
        }
        if (const std::string impossible = impossibleRange(line.start, line.end); !impossible.empty()) {
            file.refused.push_back(resource.name + ": " + impossible);
            continue;
        }
        const bool io = (line.flags & kIoResourceIo) != 0;
        const bool memory = (line.flags & kIoResourceMem) != 0;
        const bool prefetchable = memory && (line.flags & (kIoResourcePrefetch | kIoResourceOldPrefetch)) != 0;
        if (window) {
            // A PCI-to-PCI bridge has an I/O, a memory and a prefetchable
            // window, in that order; the line after them is a CardBus
            // bridge's, and the one after that was always empty.
            const std::size_t slot = index - firstWindow;
            if ((line.flags & (kIoResourceUnset | kIoResourceDisabled)) != 0 || slot >= (cardBus ? 4u : 3u)) {
                continue;
            }
            if (cardBus && io == memory) {
                file.refused.push_back(resource.name + ": its flags " + hexText(line.flags) +
                                       " say neither I/O nor memory");
                continue;
            }
            resource.kind = cardBus ? (io ? tAddressKind::kIo
                                          : prefetchable ? tAddressKind::kPrefetchable : tAddressKind::kMemory)
                                    : slot == 0 ? tAddressKind::kIo
                                                : slot == 1 ? tAddressKind::kMemory : tAddressKind::kPrefetchable;
            resource.is64 = resource.kind != tAddressKind::kIo && (line.flags & kIoResourceMem64) != 0;
            file.resources.push_back(std::move(resource));
            continue;
        }
        if (io == memory) {
            file.refused.push_back(resource.name + ": its flags " + hexText(line.flags) + " say neither I/O nor memory");
            continue;
        }
        if ((line.flags & (kIoResourceUnset | kIoResourceDisabled)) != 0 || line.start == 0) {
            continue;  // sized, but given no address
        }
        const std::uint64_t size = line.end - line.start + 1;
        if (index <= 6 && (line.flags & kIoResourcePciEaBei) == 0 && (size & (size - 1)) != 0) {
            file.refused.push_back(resource.name + ": its size " + hexText(size) + " is no power of two");
            continue;
        }
        resource.kind = io ? tAddressKind::kIo : prefetchable ? tAddressKind::kPrefetchable : tAddressKind::kMemory;
        resource.is64 = memory && (line.flags & kIoResourceMem64) != 0;
        file.resources.push_back(std::move(resource));
    }
    return file;
}

std::optional<std::uint64_t> resizableBarMaximum(std::string_view raw, std::string& reason) {
    tScanner scan(withoutTrailingNewline(raw));
    std::uint64_t sizes = 0;
    if (holdsNul(raw) || !scan.hex64(16, 16, sizes) || !scan.atEnd()) {
        reason = "it is not 16 hex digits";
        return std::nullopt;
    }
    if (sizes == 0) {
        return std::nullopt;
    }
    const int largestBit = static_cast<int>(std::bit_width(sizes)) - 1;
    if (largestBit + 20 > 63) {
        reason = "its largest size, 2^" + std::to_string(largestBit + 20) + " bytes, does not fit in 64 bits";
        return std::nullopt;
    }
    return std::uint64_t{1} << (largestBit + 20);
}

std::optional<tConfigWindows> bridgeWindowsOfConfig(std::string_view config) {
    constexpr std::size_t kHeaderType = 0x0e;
    constexpr std::size_t kIoBase = 0x1c;
    constexpr std::size_t kMemoryBase = 0x20;
    constexpr std::size_t kPrefetchableBase = 0x24;
    constexpr std::size_t kPrefetchableBaseUpper = 0x28;
    constexpr std::size_t kIoBaseUpper = 0x30;
    constexpr std::size_t kNeeded = 0x34;
    constexpr std::size_t kCardBusNeeded = 0x40;
    const unsigned type = config.size() > kHeaderType ? static_cast<unsigned char>(config[kHeaderType]) & 0x7fu : 0;
    if ((type != 1 || config.size() < kNeeded) && (type != 2 || config.size() < kCardBusNeeded)) {
        return std::nullopt;
    }
    tConfigWindows result;
    const auto add = [&result](tAddressKind kind, std::uint64_t base, std::uint64_t limit, const char* what) {
        if (base > limit) {
            return;  // closed
        }
        if (limit == kNoEnd) {
            result.refused.push_back(std::string(what) + " window: it ends at 2^64 - 1, where no range can end");
            return;
        }
        result.windows.push_back({kind, base, limit});
    };
    if (type == 2) {
        // A CardBus bridge: memory windows 0 and 1 at 0x1c-0x2b (4 KiB
        // granules), prefetchable as bits 8 and 9 of the bridge control at
        // 0x3e say; I/O windows 0 and 1 at 0x2c-0x3b (4-byte granules).
        constexpr std::size_t kMemory0 = 0x1c;
        constexpr std::size_t kIo0 = 0x2c;
        constexpr std::size_t kBridgeControl = 0x3e;
        const std::uint32_t control = configWord(config, kBridgeControl);
        for (std::size_t n = 0; n < 2; ++n) {
            const std::uint64_t base = configDword(config, kMemory0 + 8 * n);
            const std::uint64_t limit = configDword(config, kMemory0 + 8 * n + 4);
            if (base != 0 || limit != 0) {
                add((control >> (8 + n)) & 1u ? tAddressKind::kPrefetchable : tAddressKind::kMemory, base & ~0xfffull,
                    limit | 0xfff, "memory");
            }
        }
        for (std::size_t n = 0; n < 2; ++n) {
            const std::uint64_t base = configDword(config, kIo0 + 8 * n);
            const std::uint64_t limit = configDword(config, kIo0 + 8 * n + 4);
            if (base != 0 || limit != 0) {
                add(tAddressKind::kIo, base & ~0x3ull, limit | 0x3, "I/O");
            }
        }
        return result;
    }

    const unsigned ioBase = static_cast<unsigned char>(config[kIoBase]);
    const unsigned ioLimit = static_cast<unsigned char>(config[kIoBase + 1]);
    const bool io32 = (ioBase & 0x0fu) == 1;
    const std::uint64_t ioBaseUpper = io32 ? configWord(config, kIoBaseUpper) : 0;
    const std::uint64_t ioLimitUpper = io32 ? configWord(config, kIoBaseUpper + 2) : 0;
    if (ioBase != 0 || ioLimit != 0 || ioBaseUpper != 0 || ioLimitUpper != 0) {
        add(tAddressKind::kIo, (std::uint64_t{ioBase & 0xf0u} << 8) | (ioBaseUpper << 16),
            (std::uint64_t{ioLimit & 0xf0u} << 8) | 0xfff | (ioLimitUpper << 16), "I/O");
    }

    const std::uint32_t memoryBase = configWord(config, kMemoryBase);
    const std::uint32_t memoryLimit = configWord(config, kMemoryBase + 2);
    if (memoryBase != 0 || memoryLimit != 0) {
        add(tAddressKind::kMemory, std::uint64_t{memoryBase & 0xfff0u} << 16,
            (std::uint64_t{memoryLimit & 0xfff0u} << 16) | 0xfffff, "memory");
    }

    const std::uint32_t prefetchableBase = configWord(config, kPrefetchableBase);
    const std::uint32_t prefetchableLimit = configWord(config, kPrefetchableBase + 2);
    const bool prefetchable64 = (prefetchableBase & 0x0fu) == 1;
    const std::uint64_t baseUpper = prefetchable64 ? configDword(config, kPrefetchableBaseUpper) : 0;
    const std::uint64_t limitUpper = prefetchable64 ? configDword(config, kPrefetchableBaseUpper + 4) : 0;
    if (prefetchableBase != 0 || prefetchableLimit != 0 || baseUpper != 0 || limitUpper != 0) {
        add(tAddressKind::kPrefetchable, (std::uint64_t{prefetchableBase & 0xfff0u} << 16) | (baseUpper << 32),
            (std::uint64_t{prefetchableLimit & 0xfff0u} << 16) | 0xfffff | (limitUpper << 32), "prefetchable");
    }
    return result;
}

std::optional<tRootWindowLine> parseRootWindowLine(std::string_view text) {
    if (holdsNul(text)) {
        return std::nullopt;
    }
    tScanner scan(text);
    tRootWindowLine line;
    scan.skipBlanks();
    if (!scan.word("pci_bus") || !scan.blanks() || !scan.hex(4, 8, line.bus.domain) || !scan.character(':') ||
        !scan.hex(2, 2, line.bus.bus) || !scan.character(':') || !scan.blanks() ||
        !phrase(scan, "root bus resource") || !scan.blanks()) {
        return std::nullopt;
    }
    tPrintedResource printed;
    if (!printedResource(scan, printed) || printed.sized) {
        return std::nullopt;
    }
    // A window the host bridge moves to other bus addresses says where:
    // " (bus address [0x0000-0x0cf7])". The CPU's addresses are the ones
    // BARs are given in sysfs.
    scan.skipBlanks();
    if (scan.character('(')) {
        std::uint64_t ignored = 0;
        if (!phrase(scan, "bus address") || !scan.blanks() || !scan.character('[') || !scan.prefixedHex64(ignored) ||
            !scan.character('-') || !scan.prefixedHex64(ignored) || !scan.character(']') || !scan.character(')')) {
            return std::nullopt;
        }
    }
    if (!endOfLine(scan)) {
        return std::nullopt;
    }
    line.range = {printed.kind, printed.first, printed.last};
    line.window = printed.window;
    line.disabled = printed.disabled;
    line.refused = impossibleRange(printed.first, printed.last);
    return line;
}

std::optional<tRootBus> parseHostBridgeStart(std::string_view text) {
    if (holdsNul(text)) {
        return std::nullopt;
    }
    tScanner scan(text);
    tRootBus bus;
    if (!scan.skipPast("PCI host bridge to bus ") || !scan.hex(4, 8, bus.domain) || !scan.character(':') ||
        !scan.hex(2, 2, bus.bus) || !endOfLine(scan)) {
        return std::nullopt;
    }
    return bus;
}

std::optional<tAssignmentLine> parseAssignmentLine(std::string_view text) {
    if (holdsNul(text)) {
        return std::nullopt;
    }
    tScanner scan(text);
    tAssignmentLine line;
    if (!devicePrefix(scan, line.address)) {
        return std::nullopt;
    }
    tPrintedResource printed;
    const std::size_t start = scan.position();
    std::uint32_t number = 0;
    bool read = false;
    if (phrase(scan, "can't enable device:")) {
        // Before 6.8: "can't enable device: BAR 1 [mem size ...] not assigned".
        read = scan.blanks() && scan.word("BAR") && scan.blanks() && scan.decimal(2, number) && scan.blanks() &&
               printedResource(scan, printed) && scan.blanks() && phrase(scan, "not assigned");
        line.event = tAssignment::kCannotEnable;
        line.index = number;
        return read && endOfLine(scan) ? finishAssignment(line, printed) : std::nullopt;
    }
    scan.rewind(start);
    if (scan.word("BAR") && scan.blanks() && scan.decimal(2, number) && scan.character(':') && scan.blanks()) {
        // Before 6.8: "BAR 1: no space for [...]", "BAR 1: failed to assign
        // [...]", "BAR 1: assigned [...]".
        line.index = number;
        const std::size_t verb = scan.position();
        if (phrase(scan, "no space for")) {
            line.event = tAssignment::kNoSpace;
        } else if (scan.rewind(verb); phrase(scan, "failed to assign")) {
            line.event = tAssignment::kFailed;
        } else if (scan.rewind(verb); phrase(scan, "assigned")) {
            line.event = tAssignment::kAssigned;
        } else {
            return std::nullopt;
        }
        read = scan.blanks() && printedResource(scan, printed);
        return read && endOfLine(scan) ? finishAssignment(line, printed) : std::nullopt;
    }
    scan.rewind(start);
    if (!resourceNameWords(scan, line.resource) || !scan.blanks() || !printedResource(scan, printed) ||
        !scan.character(':') || !scan.blanks()) {
        return std::nullopt;
    }
    const std::size_t verb = scan.position();
    if (phrase(scan, "can't assign; no space")) {
        line.event = tAssignment::kNoSpace;
    } else if (scan.rewind(verb); phrase(scan, "failed to assign")) {
        line.event = tAssignment::kFailed;
    } else if (scan.rewind(verb); phrase(scan, "assigned")) {
        line.event = tAssignment::kAssigned;
    } else if (scan.rewind(verb); phrase(scan, "not assigned; can't enable device")) {
        line.event = tAssignment::kCannotEnable;
    } else {
        return std::nullopt;
    }
    return endOfLine(scan) ? finishAssignment(line, printed) : std::nullopt;
}

std::vector<tAssignmentLine> unassignedResources(const std::vector<tAssignmentLine>& lines) {
    // One key per resource of a function: the old format's number, or the
    // name, and for the three windows of a bridge, which share a name, the
    // kind.
    const auto keyOf = [](const tAssignmentLine& line) {
        std::string key = formatPciAddress(line.address);
        key += line.index ? "#" + std::to_string(*line.index) : "/" + line.resource;
        if (!line.index && line.resource == "bridge window") {
            key += static_cast<char>('0' + static_cast<int>(line.kind));
        }
        return key;
    };
    std::unordered_map<std::string, std::size_t> last;  // key -> index into `kept`
    std::vector<std::optional<tAssignmentLine>> kept;
    for (const tAssignmentLine& line : lines) {
        if (line.event == tAssignment::kNoSpace) {
            continue;
        }
        const std::string key = keyOf(line);
        if (const auto found = last.find(key); found != last.end()) {
            kept[found->second].reset();
            last.erase(found);
        }
        if (line.event != tAssignment::kAssigned) {
            last.emplace(key, kept.size());
            kept.push_back(line);
        }
    }
    std::vector<tAssignmentLine> result;
    for (std::optional<tAssignmentLine>& line : kept) {
        if (line) {
            result.push_back(std::move(*line));
        }
    }
    return result;
}

std::optional<tProcResource> parseProcResourceLine(std::string_view line) {
    if (holdsNul(line)) {
        return std::nullopt;
    }
    tScanner scan(line);
    while (scan.character(' ')) {
    }
    tProcResource resource;
    if (!scan.hex64(1, 16, resource.first) || !scan.character('-') || !scan.hex64(1, 16, resource.last) ||
        !scan.character(' ') || !scan.character(':') || !scan.character(' ') || scan.atEnd() ||
        resource.first > resource.last) {
        return std::nullopt;
    }
    resource.name = scan.rest();
    return resource;
}

std::optional<tRootBus> parseProcBusName(std::string_view name) {
    tScanner scan(name);
    tRootBus bus;
    if (!phrase(scan, "PCI Bus") || !scan.character(' ') || !scan.hex(4, 8, bus.domain) || !scan.character(':') ||
        !scan.hex(2, 2, bus.bus) || !scan.atEnd()) {
        return std::nullopt;
    }
    return bus;
}

}  // namespace nROOTSCOPE_1_0

// SPDX-License-Identifier: MIT
#include "HeadroomReport.h"

#include <algorithm>
#include <cstdio>
#include <string_view>

namespace nROOTSCOPE_1_0 {

namespace {

constexpr std::size_t kWidth = 78;
constexpr std::uint32_t kMapRow = 64;

std::string hex2(std::uint32_t value) {
    char text[8];
    std::snprintf(text, sizeof text, "%02x", static_cast<unsigned>(value & 0xffu));
    return text;
}

std::string plural(std::uint32_t count, const char* one, const char* many) {
    return std::to_string(count) + " " + (count == 1 ? one : many);
}

// A name from the machine (a slot's directory), fit for one line of text.
std::string printable(std::string_view text) {
    std::string shown;
    for (char c : text) {
        shown += c >= 0x20 && c < 0x7f ? c : '?';
    }
    return shown;
}

// A root bus as "SSSS:BB", with its root bridge's name where known: that
// is how the firmware names it, and what tells apart two root buses whose
// segment could not be read.
std::string rootName(const tRootBusHeadroom& root) {
    char text[32];
    std::snprintf(text, sizeof text, "%04x:%02x", static_cast<unsigned>(root.segment),
                  static_cast<unsigned>(root.bus & 0xffu));
    return root.name.empty() ? std::string(text) : std::string(text) + " (" + printable(root.name) + ")";
}

// `text` as lines of at most kWidth columns, the first after `first`, the
// rest after `indent`.
std::string wrapped(std::string_view text, const std::string& first, const std::string& indent) {
    std::string out;
    std::string line = first;
    bool empty = true;
    while (!text.empty()) {
        const std::size_t space = text.find(' ');
        const std::string_view word = text.substr(0, space);
        text.remove_prefix(space == std::string_view::npos ? text.size() : space + 1);
        if (!empty && line.size() + 1 + word.size() > kWidth) {
            out += line + "\n";
            line = indent;
            empty = true;
        }
        line += (empty ? "" : " ") + std::string(word);
        empty = false;
    }
    return out + line + "\n";
}

const char* sourceName(tRangeOrigin origin) {
    switch (origin) {
        case tRangeOrigin::kKernelLog: return "kernel-log";
        case tRangeOrigin::kEcam: return "ecam";
        case tRangeOrigin::kBootConfiguration: return "boot-configuration";
    }
    return "unknown";
}

std::string rangeLine(const tRootBusHeadroom& root, bool kernelLogClosed) {
    if (!root.range) {
        return "Range unknown: the firmware's range for this root bus could not be read, so no number is known "
               "to be free.";
    }
    const tBusRange& range = *root.range;
    std::string line = "Range " + hex2(range.first) + "-" + hex2(range.last) + " (" +
                       plural(range.last - range.first + 1, "bus number", "bus numbers") + ")";
    switch (range.origin) {
        case tRangeOrigin::kKernelLog:
            return line + ", as the firmware gave it (kernel log).";
        case tRangeOrigin::kBootConfiguration:
            return line + ", as the firmware gave it (boot configuration).";
        case tRangeOrigin::kEcam:
            break;
    }
    if (kernelLogClosed) {
        return line + ": the ECAM window, since the kernel log is closed to this user. Run as root for the "
                      "firmware's own range, which may be narrower.";
    }
    return line + ": the ECAM window; the kernel log names no range for this root bus, so the firmware's own "
                  "range may be narrower.";
}

char mapCharacter(const tRootBusHeadroom& root, std::uint32_t n) {
    switch (root.uses[n]) {
        case tBusUse::kBus: return 'B';
        case tBusUse::kReserved: return 'r';
        case tBusUse::kFree: return root.range ? '.' : '?';
        case tBusUse::kOutside: return ' ';
    }
    return ' ';
}

std::string busMap(const tRootBusHeadroom& root) {
    std::uint32_t low = root.range ? root.range->first : root.bus;
    std::uint32_t high = root.range ? root.range->last : root.bus;
    for (std::uint32_t n = 0; n < 256; ++n) {
        if (root.uses[n] == tBusUse::kBus || root.uses[n] == tBusUse::kReserved) {
            low = n < low ? n : low;
            high = n > high ? n : high;
        }
    }
    std::string map = std::string("  Map (B a bus, r reserved for hot-plug, ") +
                      (root.range ? ". free" : "? not known to be free") + "):\n";
    map += "          ";
    for (std::uint32_t column = 0; column < kMapRow; column += 16) {
        map += "+" + hex2(column) + std::string(13, ' ');
    }
    while (!map.empty() && map.back() == ' ') {
        map.pop_back();
    }
    map += "\n";
    for (std::uint32_t row = low - low % kMapRow; row <= high; row += kMapRow) {
        std::string line = "    " + hex2(row) + "    ";
        for (std::uint32_t n = row; n < row + kMapRow; ++n) {
            line += n < low || n > high ? ' ' : mapCharacter(root, n);
        }
        while (!line.empty() && line.back() == ' ') {
            line.pop_back();
        }
        map += line + "\n";
    }
    return map;
}

std::string countLines(const tRootBusHeadroom& root) {
    std::string text;
    if (root.claimsExact) {
        text += wrapped(plural(root.claimed, "bus number", "bus numbers") + " claimed: " +
                            plural(root.buses, "bus", "buses") + " in use and " +
                            std::to_string(root.reserved) + " reserved for hot-plug below their ports.",
                        "  ", "    ");
    } else {
        text += wrapped("At least " + plural(root.claimed, "bus number", "bus numbers") + " claimed: at least " +
                            plural(root.buses, "bus", "buses") +
                            " in use; numbers reserved for hot-plug, and an empty port's, are not visible here.",
                        "  ", "    ");
    }
    if (!root.free) {
        return text;
    }
    const std::string bound = root.exact ? "" : "at most ";
    std::string free = *root.free == 0 ? std::string(root.exact ? "No bus number of the range is free."
                                                                : "No bus number of the range is known to be free.")
                                       : (root.exact ? "" : "At most ") + plural(*root.free, "free", "free") +
                                             ", the longest run " + bound +
                                             plural(*root.largestFreeRun, "number", "numbers") + " (" +
                                             hex2(root.largestFreeRunStart) + "-" +
                                             hex2(root.largestFreeRunStart + *root.largestFreeRun - 1) + ").";
    return text + wrapped(free, "  ", "    ");
}

std::string slotLine(const tRootBusHeadroom& root, const tSlotHeadroom& slot) {
    std::string line = "Slot " + printable(slot.name) + ": " + (slot.bus ? "bus " + hex2(*slot.bus) : "bus unknown") +
                       (slot.device && !slot.port ? ", device " + hex2(*slot.device) : std::string()) + ", ";
    if (slot.port && slot.window) {
        line += "port " + formatPciAddress(*slot.port) + " (window of " + (slot.windowInferred ? "at least " : "") +
                plural(*slot.window, "bus number", "bus numbers");
        if (slot.usable && *slot.usable < *slot.window) {
            line += ", of which other windows leave " + std::string(slot.usableBound ? "at most " : "") +
                    std::to_string(*slot.usable) + " in a row";
        }
        line += ")";
    } else if (slot.port) {
        line += "port " + formatPciAddress(*slot.port) + " (window not visible)";
    } else if (slot.bus == root.bus) {
        line += "on the root bus itself";
    } else {
        line += "no port found for it";
    }
    line += !slot.hotplug ? ", hot-plug not known" : *slot.hotplug ? ", hot-plug" : ", not hot-plug";
    line += slot.occupied ? ", occupied." : ", empty.";
    return wrapped(line, "    ", "      ");
}

std::string rootBlock(const tRootBusHeadroom& root, bool kernelLogClosed) {
    std::string block = "Root bus " + rootName(root) + "\n";
    block += wrapped(rangeLine(root, kernelLogClosed), "  ", "    ");
    block += busMap(root);
    block += countLines(root);
    if (!root.slots.empty()) {
        block += "  Slots:\n";
        for (const tSlotHeadroom& slot : root.slots) {
            block += slotLine(root, slot);
        }
    }
    if (!root.problems.empty()) {
        block += "  Problems found:\n";
        for (const std::string& problem : root.problems) {
            block += wrapped(problem, "    - ", "      ");
        }
    }
    return block;
}

std::string slotNames(const tRootBusHeadroom& root, const std::vector<std::size_t>& slots) {
    std::string names;
    for (std::size_t i = 0; i < slots.size(); ++i) {
        names += (i == 0 ? "" : i + 1 == slots.size() ? " or " : ", ") + printable(root.slots[slots[i]].name);
    }
    return names;
}

std::string hotAdvice(const tHeadroom& headroom) {
    const tAdvice& advice = headroom.advice;
    std::string text;
    if (advice.hotSlot) {
        const tRootBusHeadroom& root = headroom.roots[advice.hotSlot->root];
        const tSlotHeadroom& slot = root.slots[advice.hotSlot->slot];
        const std::string upTo = headroom.exact && !slot.usableBound ? "up to " : "at most ";
        text = slot.port ? "Added while the machine runs: slot " + printable(slot.name) + " on root bus " +
                               rootName(root) + " is the empty hot-plug slot with the most bus numbers to give; a " +
                               "chassis hot-added there can use " + upTo +
                               plural(*slot.usable, "bus number", "bus numbers") + "."
                         : "Added while the machine runs: slot " + printable(slot.name) + ", on root bus " +
                               rootName(root) + " itself, is the empty hot-plug slot with the most bus numbers " +
                               "to give; a chassis hot-added there takes its numbers from the root bus's free " +
                               "ones, " + upTo + plural(*slot.usable, "bus number", "bus numbers") + ".";
    } else {
        text = "Added while the machine runs: no empty hot-plug slot with a known window was found.";
    }
    for (const tAdvice::tSlotPick& pick : advice.tooSmall) {
        const tRootBusHeadroom& root = headroom.roots[pick.root];
        const tSlotHeadroom& slot = root.slots[pick.slot];
        text += " Slot " + printable(slot.name) + " on root bus " + rootName(root) + " is empty and hot-plug, but " +
                (slot.usableBound ? "at most " : "") + plural(*slot.usable, "bus number is", "bus numbers are") +
                " free there: too few for any chassis, which needs at least " + std::to_string(kSmallestChassis) +
                ".";
    }
    return wrapped(text, "  ", "    ");
}

std::string coldAdvice(const tHeadroom& headroom) {
    const tAdvice& advice = headroom.advice;
    if (!advice.coldRoot) {
        bool someFree = false;
        for (const tRootBusHeadroom& root : headroom.roots) {
            someFree = someFree || (root.free && *root.free > 0);
        }
        return wrapped(!advice.anyRange ? "Attached before boot: no root bus has a known range, so how many numbers "
                                          "are free is unknown."
                       : someFree ? "Attached before boot: no root bus has the " + std::to_string(kSmallestChassis) +
                                        " free bus numbers that the smallest chassis needs."
                                  : std::string("Attached before boot: no root bus has a free bus number left in "
                                                "its range."),
                       "  ", "    ");
    }
    const tRootBusHeadroom& root = headroom.roots[*advice.coldRoot];
    const std::string bound = root.exact ? "" : "at most ";
    std::uint32_t mostFree = 0;
    for (const tRootBusHeadroom& other : headroom.roots) {
        mostFree = std::max(mostFree, other.free.value_or(0));
    }
    std::string text = "Attached before boot: root bus " + rootName(root) + " has the most free bus numbers" +
                       (*root.free < mostFree ? " of the root buses with an empty slot" : "") +
                       ", " + bound + std::to_string(*root.free) + " (the longest run " + bound +
                       std::to_string(*root.largestFreeRun) +
                       "). At the next boot the firmware numbers everything below a root bus again from its range, " +
                       "so a chassis attached cold to a slot below it takes its numbers from those";
    if (!advice.coldSlots.empty()) {
        text += "; plug it into slot " + slotNames(root, advice.coldSlots) + ".";
    } else if (!advice.anyEmptySlot) {
        text += ". The system lists no empty slot below any root bus, so which slot hangs from this one is "
                "for the board's manual to say.";
    } else {
        text += ". No empty slot that the system lists hangs from it.";
    }
    return wrapped(text, "  ", "    ");
}

std::string advice(const tHeadroom& headroom) {
    std::string text = "Where to plug the next expansion chassis\n";
    text += hotAdvice(headroom);
    text += coldAdvice(headroom);
    text += wrapped("A chassis with one PCIe switch of N downstream ports needs N + 2 bus numbers (the link to "
                    "the switch, the switch's internal bus, one per downstream port), plus what its cards need: "
                    "a card with a bridge of its own takes more.",
                    "  ", "    ");
    return text;
}

// ---- JSON ----------------------------------------------------------------

// A JSON string: quotes, backslashes and control characters escaped, and
// bytes that are not UTF-8 replaced by U+FFFD, so the document stays valid
// whatever a name on the machine holds.
std::string jsonString(std::string_view text) {
    std::string out = "\"";
    for (std::size_t i = 0; i < text.size();) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (byte == '"' || byte == '\\') {
            out += '\\';
            out += static_cast<char>(byte);
            ++i;
        } else if (byte < 0x20 || byte == 0x7f) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04x", byte);
            out += escape;
            ++i;
        } else if (byte < 0x80) {
            out += static_cast<char>(byte);
            ++i;
        } else {
            // The length of a well-formed sequence starting here, or 0.
            std::size_t length = byte >= 0xc2 && byte <= 0xdf ? 2 : byte >= 0xe0 && byte <= 0xef ? 3
                                                              : byte >= 0xf0 && byte <= 0xf4 ? 4 : 0;
            for (std::size_t k = 1; k < length; ++k) {
                const bool continuation =
                    i + k < text.size() && (static_cast<unsigned char>(text[i + k]) & 0xc0u) == 0x80u;
                length = continuation ? length : 0;
            }
            if (length >= 3) {
                const auto second = static_cast<unsigned char>(text[i + 1]);
                const bool overlong = (byte == 0xe0 && second < 0xa0) || (byte == 0xf0 && second < 0x90);
                const bool surrogate = byte == 0xed && second >= 0xa0;
                const bool tooLarge = byte == 0xf4 && second >= 0x90;
                length = overlong || surrogate || tooLarge ? 0 : length;
            }
            if (length == 0) {
                out += "\\ufffd";
                ++i;
            } else {
                out.append(text.substr(i, length));
                i += length;
            }
        }
    }
    return out + "\"";
}

std::string jsonOptional(const std::optional<std::uint32_t>& value) {
    return value ? std::to_string(*value) : "null";
}

std::string jsonSlot(const tSlotHeadroom& slot) {
    return "{\"name\": " + jsonString(slot.name) + ", \"bus\": " + jsonOptional(slot.bus) + ", \"device\": " +
           jsonOptional(slot.device) + ", \"port\": " +
           (slot.port ? jsonString(formatPciAddress(*slot.port)) : std::string("null")) + ", \"hotplug\": " +
           (!slot.hotplug ? "null" : *slot.hotplug ? "true" : "false") + ", \"occupied\": " +
           (slot.occupied ? "true" : "false") + ", \"window\": " + jsonOptional(slot.window) + ", \"usable\": " +
           jsonOptional(slot.usable) + ", \"usable_exact\": " + (slot.usable && !slot.usableBound ? "true" : "false") +
           "}";
}

template <typename T, typename tFormat>
std::string jsonObjects(const std::vector<T>& items, const std::string& indent, tFormat&& format) {
    if (items.empty()) {
        return "[]";
    }
    std::string out = "[\n";
    for (std::size_t i = 0; i < items.size(); ++i) {
        out += indent + "  " + format(items[i]) + (i + 1 < items.size() ? ",\n" : "\n");
    }
    return out + indent + "]";
}

std::string jsonStrings(const std::vector<std::string>& items, const std::string& indent) {
    return jsonObjects(items, indent, [](const std::string& item) { return jsonString(item); });
}

std::string jsonRoot(const tRootBusHeadroom& root) {
    const std::string in = "      ";
    std::string out = "    {\n";
    out += in + "\"segment\": " + std::to_string(root.segment) + ",\n";
    out += in + "\"bus\": " + std::to_string(root.bus) + ",\n";
    out += in + "\"name\": " + (root.name.empty() ? std::string("null") : jsonString(root.name)) + ",\n";
    out += in + "\"range\": " +
           (root.range ? "{\"first\": " + std::to_string(root.range->first) + ", \"last\": " +
                             std::to_string(root.range->last) + ", \"source\": \"" + sourceName(root.range->origin) +
                             "\"}"
                       : std::string("null")) +
           ",\n";
    out += in + "\"exact\": " + (root.exact ? "true" : "false") + ",\n";
    out += in + "\"claimed\": " + std::to_string(root.claimed) + ",\n";
    out += in + "\"buses\": " + std::to_string(root.buses) + ",\n";
    out += in + "\"reserved\": " + std::to_string(root.reserved) + ",\n";
    out += in + "\"free\": " + jsonOptional(root.free) + ",\n";
    out += in + "\"largest_free_run\": " + jsonOptional(root.largestFreeRun) + ",\n";
    out += in + "\"outside_range\": " + std::to_string(root.outsideRange) + ",\n";
    out += in + "\"bridges\": " + jsonObjects(root.bridges, in, [](const tBridgeWindow& bridge) {
               return "{\"address\": " + jsonString(formatPciAddress(bridge.address)) + ", \"secondary\": " +
                      std::to_string(bridge.secondary) + ", \"subordinate\": " + std::to_string(bridge.subordinate) +
                      "}";
           }) + ",\n";
    out += in + "\"slots\": " + jsonObjects(root.slots, in, jsonSlot) + ",\n";
    out += in + "\"problems\": " + jsonStrings(root.problems, in) + "\n";
    return out + "    }";
}

std::string jsonRootKey(const tRootBusHeadroom& root) {
    return "\"segment\": " + std::to_string(root.segment) + ", \"bus\": " + std::to_string(root.bus) +
           ", \"name\": " + (root.name.empty() ? std::string("null") : jsonString(root.name));
}

std::string jsonPick(const tHeadroom& headroom, const tAdvice::tSlotPick& pick) {
    const tRootBusHeadroom& root = headroom.roots[pick.root];
    const tSlotHeadroom& slot = root.slots[pick.slot];
    return "{" + jsonRootKey(root) + ", \"slot\": " + jsonString(slot.name) + ", \"usable\": " +
           jsonOptional(slot.usable) + ", \"exact\": " + (headroom.exact && !slot.usableBound ? "true" : "false") +
           "}";
}

// Where to plug, as the view says it: the hot-plug slot, the slots too
// small for any chassis, and the root bus for a chassis attached cold.
std::string jsonAdvice(const tHeadroom& headroom) {
    const tAdvice& advice = headroom.advice;
    std::string out = "{\n    \"hot_plug\": " +
                      (advice.hotSlot ? jsonPick(headroom, *advice.hotSlot) : std::string("null")) + ",\n";
    std::vector<std::string> small;
    for (const tAdvice::tSlotPick& pick : advice.tooSmall) {
        small.push_back(jsonPick(headroom, pick));
    }
    out += "    \"too_small\": " + jsonObjects(small, "    ", [](const std::string& item) { return item; }) + ",\n";
    out += "    \"cold\": ";
    if (advice.coldRoot) {
        const tRootBusHeadroom& root = headroom.roots[*advice.coldRoot];
        std::string slots;
        for (const std::size_t k : advice.coldSlots) {
            slots += (slots.empty() ? "" : ", ") + jsonString(root.slots[k].name);
        }
        out += "{" + jsonRootKey(root) + ", \"free\": " + jsonOptional(root.free) + ", \"largest_free_run\": " +
               jsonOptional(root.largestFreeRun) + ", \"exact\": " + (root.exact ? "true" : "false") +
               ", \"slots\": [" + slots + "]}";
    } else {
        out += "null";
    }
    out += ",\n    \"smallest_chassis\": " + std::to_string(kSmallestChassis) + "\n  }";
    return out;
}

}  // namespace

std::string headroomView(const tHeadroom& headroom, bool kernelLogClosed) {
    std::string view;
    if (headroom.roots.empty()) {
        view += "No PCI root bus was found.\n";
    }
    for (const tRootBusHeadroom& root : headroom.roots) {
        view += rootBlock(root, kernelLogClosed) + "\n";
    }
    if (!headroom.unplacedSlots.empty()) {
        view += "Slots on a bus of no root bus found:\n";
        for (const tSlotHeadroom& slot : headroom.unplacedSlots) {
            view += "  Slot " + printable(slot.name) + ": segment " + std::to_string(slot.segment) + ", bus " +
                    (slot.bus ? hex2(*slot.bus) : std::string("unknown")) + "\n";
        }
        view += "\n";
    }
    if (!headroom.problems.empty()) {
        view += "Problems found outside any root bus:\n";
        for (const std::string& problem : headroom.problems) {
            view += wrapped(problem, "  - ", "    ");
        }
        view += "\n";
    }
    if (!headroom.roots.empty()) {
        view += advice(headroom);
    }
    return view;
}

std::string headroomJson(const tHeadroom& headroom) {
    std::string out = "{\n  \"format\": \"rootscope-headroom 1\",\n  \"root_buses\": ";
    if (headroom.roots.empty()) {
        out += "[]";
    } else {
        out += "[\n";
        for (std::size_t i = 0; i < headroom.roots.size(); ++i) {
            out += jsonRoot(headroom.roots[i]) + (i + 1 < headroom.roots.size() ? ",\n" : "\n");
        }
        out += "  ]";
    }
    out += ",\n  \"advice\": " + jsonAdvice(headroom);
    if (!headroom.problems.empty() || !headroom.unplacedSlots.empty()) {
        out += ",\n  \"extra\": {\n    \"problems\": " + jsonStrings(headroom.problems, "    ") +
               ",\n    \"unplaced_slots\": " + jsonObjects(headroom.unplacedSlots, "    ", jsonSlot) + "\n  }";
    }
    return out + "\n}\n";
}

}  // namespace nROOTSCOPE_1_0

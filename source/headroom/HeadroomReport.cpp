// SPDX-License-Identifier: MIT
#include "HeadroomReport.h"

#include <algorithm>
#include <cstdio>
#include <set>
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

// A size a person reads: bytes in the largest binary unit it reaches, whole
// where it divides evenly, else to one decimal.
std::string bytes(std::uint64_t value) {
    static const char* const kUnits[] = {"bytes", "KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
    std::size_t unit = 0;
    std::uint64_t scale = 1;
    while (unit + 1 < std::size(kUnits) && value / scale >= 1024) {
        scale *= 1024;
        ++unit;
    }
    char text[48];
    if (value % scale == 0) {
        std::snprintf(text, sizeof text, "%llu %s", static_cast<unsigned long long>(value / scale), kUnits[unit]);
    } else {
        std::snprintf(text, sizeof text, "%.1f %s", static_cast<double>(value) / static_cast<double>(scale),
                      kUnits[unit]);
    }
    return text;
}

const char* kindName(tResourceKind kind) {
    switch (kind) {
        case tResourceKind::kIo: return "io";
        case tResourceKind::kMemory: return "memory";
        case tResourceKind::kPrefetchable: return "prefetchable";
        case tResourceKind::kBusNumbers: return "bus";
    }
    return "unknown";
}

std::string hexAddress(std::uint64_t value, bool io) {
    char text[24];
    std::snprintf(text, sizeof text, io ? "0x%04llx" : "0x%08llx", static_cast<unsigned long long>(value));
    return text;
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

const char* sourceName(tWindowOrigin origin) {
    switch (origin) {
        case tWindowOrigin::kKernelLog: return "kernel-log";
        case tWindowOrigin::kEcam: return "ecam";
        case tWindowOrigin::kBootConfiguration: return "boot-configuration";
        case tWindowOrigin::kIomem: return "iomem";
        case tWindowOrigin::kSysfs: return "sysfs";
        case tWindowOrigin::kConfig: return "config";
        case tWindowOrigin::kDescriptor: return "descriptor";
    }
    return "unknown";
}

std::string rangeLine(const tRootBusHeadroom& root, bool kernelLogClosed) {
    if (!root.range) {
        return "Range unknown: the firmware's range for this root bus could not be read, so no number is known "
               "to be free.";
    }
    const std::uint32_t first = static_cast<std::uint32_t>(root.range->first);
    const std::uint32_t last = static_cast<std::uint32_t>(root.range->last);
    std::string line = "Range " + hex2(first) + "-" + hex2(last) + " (" +
                       plural(last - first + 1, "bus number", "bus numbers") + ")";
    if (root.range->origin == tWindowOrigin::kBootConfiguration) {
        return line + ", as the firmware gave it (boot configuration).";
    }
    if (root.range->origin != tWindowOrigin::kEcam) {
        return line + ", as the firmware gave it (kernel log).";
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
    std::uint32_t low = root.range ? static_cast<std::uint32_t>(root.range->first) : root.bus;
    std::uint32_t high = root.range ? static_cast<std::uint32_t>(root.range->last) : root.bus;
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

constexpr std::size_t kPictureWidth = 48;

// One window as a line of text and a picture of it, its width shared out in
// proportion: U used by what is below, r reserved below a port, . free.
std::string windowLines(const tWindowHeadroom& w, const std::string& indent) {
    const bool io = w.window.kind == tResourceKind::kIo;
    const std::uint64_t reserved = std::min(w.reserved, w.used);
    std::string line = std::string(io ? "I/O" : w.window.kind == tResourceKind::kPrefetchable ? "Prefetchable"
                                                                                             : "Memory") +
                       " " + hexAddress(w.window.first, io) + "-" + hexAddress(w.window.last, io) + " (" +
                       bytes(w.size) + "): " + bytes(w.used - reserved) + " used, " + bytes(reserved) +
                       " reserved, " + bytes(w.free) + " free, " +
                       (w.largestBlock == 0 ? std::string("no free block") : "the largest free block " + bytes(w.largestBlock)) +
                       (w.window.exact ? "." : " (bounds).");
    std::string text = wrapped(line, indent, indent + "  ");
    // Each character stands for size / width; a part that is there shows.
    const auto share = [&](std::uint64_t part) {
        const double exact = static_cast<double>(part) * kPictureWidth / static_cast<double>(w.size);
        std::size_t cells = static_cast<std::size_t>(exact + 0.5);
        return part > 0 && cells == 0 ? std::size_t{1} : cells;
    };
    std::size_t used = std::min(share(w.used - reserved), kPictureWidth);
    std::size_t held = std::min(share(reserved), kPictureWidth - used);
    const std::size_t free = kPictureWidth - used - held;
    if (w.free > 0 && free == 0 && held > 0) {
        --held;
    } else if (w.free > 0 && free == 0 && used > 0) {
        --used;
    }
    text += indent + "  [" + std::string(used, 'U') + std::string(held, 'r') +
            std::string(kPictureWidth - used - held, '.') + "]\n";
    return text;
}

std::string totalText(const char* what, const tSpaceTotal& total) {
    if (total.size == 0) {
        return std::string(what) + ": none";
    }
    return std::string(what) + ": " + bytes(total.size) + ", " + bytes(total.free) + " free, " +
           (total.largestBlock == 0 ? std::string("no free block") : "the largest free block " + bytes(total.largestBlock));
}

// Said where a root bus's memory windows are known and none lies above
// 4 GiB, on Linux and Windows alike.
constexpr const char kNoMemoryAbove4g[] =
    " No memory window lies above 4 GiB, so a card with a large 64-bit BAR (a GPU's) cannot be placed below this "
    "root bus; the firmware setting that usually opens one is \"Above 4G decoding\" (or \"Memory mapped I/O above "
    "4 GB\").";

std::string windowsBlock(const tRootBusHeadroom& root, bool kernelLogClosed, bool exact, bool addressesRead) {
    std::string block;
    if (!root.windows) {
        const std::string why =
            !exact && addressesRead
                ? "Memory and I/O windows: unknown; neither the root bridge's boot nor its allocated configuration "
                  "lists one."
            : !exact ? "Memory and I/O windows: unknown; this system does not show the root bus's own."
            : kernelLogClosed
                ? "Memory and I/O windows: unknown; only the kernel log, closed to this user, and /proc/iomem as "
                  "root give the root bus's own. Run as root for them; the ports' windows below are exact."
                : "Memory and I/O windows: unknown; the kernel log names none for this root bus.";
        return wrapped(why, "  ", "    ");
    }
    if (root.windows->empty()) {
        return wrapped("Memory and I/O windows: none open for cards.", "  ", "    ");
    }
    block += "  Memory and I/O windows (U used, r reserved for hot-plug, . free):\n";
    for (const tWindowHeadroom& window : *root.windows) {
        block += windowLines(window, "    ");
    }
    if (root.memory) {
        std::string totals = totalText("Memory below 4 GiB", root.memory->below4g) + "; " +
                             totalText("above 4 GiB", root.memory->above4g) + "; " + totalText("I/O", root.memory->io) +
                             ".";
        if (root.memory->above4g.size == 0) {
            totals += kNoMemoryAbove4g;
        }
        block += wrapped(totals, "  ", "    ");
    }
    return block;
}

std::string resizableBlock(const tRootBusHeadroom& root) {
    std::string block;
    for (const tRootBusHeadroom::tResizable& r : root.resizable) {
        block += wrapped(formatPciAddress(r.address) + " " + printable(r.bar.name) + " is " +
                             bytes(r.bar.last - r.bar.first + 1) + "; the card supports up to " +
                             bytes(*r.bar.resizableMax) + " (Resizable BAR).",
                         "    - ", "      ");
    }
    return block.empty() ? block : "  Resizable BARs:\n" + block;
}

std::string unassignedBlock(const tRootBusHeadroom& root) {
    if (root.unassigned.empty()) {
        return "";
    }
    std::string block = "  Got no space:\n";
    for (const tUnassignedHeadroom& failed : root.unassigned) {
        const tUnassigned& r = failed.resource;
        std::string line = formatPciAddress(r.address) + " " + printable(r.resource) + " (" + kindName(r.kind) +
                           (r.is64 ? ", 64-bit" : "") + ", " + bytes(r.size) + "): ";
        const std::string where =
            failed.bridge ? "the bridge " + formatPciAddress(*failed.bridge) + "'s" : std::string("the root bus's");
        if (failed.window) {
            line += where + " " + kindName(failed.window->window.kind) + " window has " +
                    (failed.window->largestBlock == 0 ? std::string("no free block")
                                                      : "at most " + bytes(failed.window->largestBlock) +
                                                            " in one block") +
                    ".";
        } else {
            line += where + " window for it is closed or unknown.";
        }
        block += wrapped(line, "    - ", "      ");
    }
    return block;
}

std::string windowKinds(const std::vector<tResourceKind>& kinds) {
    std::string text;
    for (std::size_t i = 0; i < kinds.size(); ++i) {
        text += (i == 0 ? "" : i + 1 == kinds.size() ? " or " : ", ") +
                std::string(kinds[i] == tResourceKind::kIo             ? "I/O"
                            : kinds[i] == tResourceKind::kPrefetchable ? "prefetchable"
                                                                       : "memory");
    }
    return text;
}

// What Windows' problem number means, as Device Manager shows it.
std::string problemText(std::uint32_t problem) {
    if (problem == kProblemNoResources) {
        return "Code 12: Windows found no free resources for it";
    }
    if (problem == kProblemFailedAdd) {
        return "Code 31: Windows could not add it (out of bus numbers, or its driver failed)";
    }
    return "Windows stopped it with problem " + std::to_string(problem);
}

std::string failedLine(const tFailedDevice& failed) {
    std::string line = formatPciAddress(failed.device.address) + ": " + problemText(failed.device.problem);
    if (!failed.missingWindows.empty()) {
        line += "; the bridge above it, " + formatPciAddress(*failed.bridge) + ", has no " +
                windowKinds(failed.missingWindows) + " window" +
                (failed.device.barTypes ? std::string(" for its card") : std::string(", which a card may need"));
    } else if (failed.device.problem == kProblemNoResources) {
        line += failed.bridge ? "; the windows of the bridge above it, " + formatPciAddress(*failed.bridge) +
                                    ", are open, but too small or taken"
                              : std::string("; the root bus's windows are too small or taken");
    }
    return line + ".";
}

std::string stoppedBlock(const tRootBusHeadroom& root) {
    if (root.failedDevices.empty()) {
        return "";
    }
    std::string block = "  Stopped by Windows:\n";
    for (const tFailedDevice& failed : root.failedDevices) {
        block += wrapped(failedLine(failed), "    - ", "      ");
    }
    return block;
}

// What a slot's port offers of each address space, on one line.
std::string slotWindows(const tSlotHeadroom& slot) {
    if (slot.windows.empty()) {
        return "";
    }
    std::string text;
    for (const tWindowHeadroom& w : slot.windows) {
        text += (text.empty() ? "" : "; ") + std::string(w.window.kind == tResourceKind::kIo ? "I/O" :
                                                         w.window.kind == tResourceKind::kPrefetchable ? "prefetchable"
                                                                                                      : "memory") +
                " " + bytes(w.free) + " free" +
                (w.largestBlock == 0 ? std::string(", no free block") : ", the largest block " + bytes(w.largestBlock));
    }
    return wrapped("Its port's windows: " + text + ".", "      ", "        ");
}

std::string slotLine(const tRootBusHeadroom& root, const tSlotHeadroom& slot, bool addressesRead) {
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
    return wrapped(line, "    ", "      ") + (addressesRead ? slotWindows(slot) : std::string());
}

std::string rootBlock(const tRootBusHeadroom& root, bool kernelLogClosed, bool exact, bool addressesRead) {
    std::string block = "Root bus " + rootName(root) + "\n";
    block += wrapped(rangeLine(root, kernelLogClosed), "  ", "    ");
    block += busMap(root);
    block += countLines(root);
    block += windowsBlock(root, kernelLogClosed, exact, addressesRead);
    block += resizableBlock(root);
    block += unassignedBlock(root);
    block += stoppedBlock(root);
    if (!root.slots.empty()) {
        block += "  Slots:\n";
        for (const tSlotHeadroom& slot : root.slots) {
            block += slotLine(root, slot, addressesRead);
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

// What a card's BARs can be given below a port: the largest block of each
// memory window, "a card with a BAR up to N fits there, not a larger one".
std::string memoryOffer(const std::vector<tWindowHeadroom>& windows, const char* where) {
    std::uint64_t memory = 0;
    std::uint64_t prefetchable = 0;
    bool any = false;
    for (const tWindowHeadroom& w : windows) {
        if (w.window.kind == tResourceKind::kMemory) {
            memory = std::max(memory, w.largestBlock);
            any = true;
        } else if (w.window.kind == tResourceKind::kPrefetchable) {
            prefetchable = std::max(prefetchable, w.largestBlock);
            any = true;
        }
    }
    if (!any) {
        return std::string(" Its port has no memory window open, so a card with memory BARs gets none ") + where + ".";
    }
    const std::uint64_t largest = std::max(memory, prefetchable);
    if (largest == 0) {
        return std::string(" Its port's memory windows have no free block left, so a card with memory BARs gets none ") +
               where + ".";
    }
    return std::string(" In memory, a card whose largest BAR is up to ") + bytes(largest) + " fits " + where +
           " (the largest free block: " + bytes(memory) + " in the port's memory window, " + bytes(prefetchable) +
           " in its prefetchable one), not one with a larger BAR.";
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
        text += headroom.addressesRead ? memoryOffer(slot.windows, "there") : std::string();
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
    if (root.memory) {
        text += " Its memory: the largest free block is " + bytes(root.memory->below4g.largestBlock) +
                " below 4 GiB and " +
                (root.memory->above4g.size == 0 ? std::string("there is no window above 4 GiB")
                                                : bytes(root.memory->above4g.largestBlock) + " above 4 GiB") +
                ".";
    }
    return wrapped(text, "  ", "    ");
}

// The functions that got no memory: a chassis behind the same port would
// fare no better.
std::string failedAdvice(const tHeadroom& headroom) {
    std::string names;
    std::size_t count = 0;
    for (const tRootBusHeadroom& root : headroom.roots) {
        for (const tUnassignedHeadroom& failed : root.unassigned) {
            names += (names.empty() ? "" : ", ") + formatPciAddress(failed.resource.address) + " " +
                     printable(failed.resource.resource) + " (" + bytes(failed.resource.size) + ")";
            ++count;
        }
    }
    if (count == 0) {
        return "";
    }
    return wrapped("Got no space: " + names + ". " + (count == 1 ? "That function" : "Those functions") +
                       " will not start until the window above " + (count == 1 ? "it" : "them") +
                       " can hold what " + (count == 1 ? "it asks" : "they ask") +
                       " for; a chassis below the same port would fare no better.",
                   "  ", "    ");
}

// Whether a HackFlags bit is set, as the registry said.
std::string flagState(const std::optional<tHackFlagsRead>& flags, std::uint32_t bit) {
    if (!flags) {
        return "";
    }
    if (flags->error) {
        return " HackFlags could not be read here (error " + std::to_string(*flags->error) +
               "), so whether it is set is unknown.";
    }
    if (!flags->value) {
        return " HackFlags is not set here.";
    }
    char text[96];
    std::snprintf(text, sizeof text, " HackFlags is 0x%x here: ", static_cast<unsigned>(*flags->value));
    return text + std::string((*flags->value & bit) != 0 ? "already set; if the machine has restarted since, the cause "
                                                           "lies elsewhere."
                                                         : "that workaround is not set.");
}

std::string deviceNames(const tHeadroom& headroom, const std::vector<tAdvice::tDevicePick>& picks) {
    std::string names;
    for (std::size_t i = 0; i < picks.size(); ++i) {
        const tFailedDevice& failed = headroom.roots[picks[i].root].failedDevices[picks[i].device];
        names += (i == 0 ? "" : i + 1 == picks.size() ? " and " : ", ") + formatPciAddress(failed.device.address);
    }
    return names;
}

constexpr const char kPciKey[] = "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\PnP\\Pci";

std::string workaroundAdvice(const tHeadroom& headroom) {
    const tAdvice& advice = headroom.advice;
    std::string text;
    if (!advice.keepBridgeWindows.empty()) {
        const bool one = advice.keepBridgeWindows.size() == 1;
        text += wrapped("Code 12: " + deviceNames(headroom, advice.keepBridgeWindows) + (one ? " sits" : " sit") +
                            " below a bridge without the window " + (one ? "its card needs" : "their cards need") +
                            ", as when a chassis bridge's window is disabled at reset. Microsoft's article 942959 "
                            "gives the workaround: the REG_DWORD HackFlags = 0x400 under " + kPciKey +
                            ", then a restart." + flagState(headroom.hackFlags, kKeepBridgeWindowsFlag),
                        "  ", "    ");
    }
    if (!advice.renumberBuses.empty()) {
        text += wrapped("Code 31: " + deviceNames(headroom, advice.renumberBuses) +
                            (advice.renumberBuses.size() == 1 ? " was" : " were") +
                            " not added, as when the firmware leaves too few bus numbers below a bridge. Raise the "
                            "bus numbers the firmware reserves for hot-plug (Thunderbolt or PCIe) if it has such a "
                            "setting; else Microsoft's article 942959 gives the workaround: the REG_DWORD HackFlags "
                            "= 0x200 under " + std::string(kPciKey) + ", then a restart (0x600 with the Code 12 "
                            "one)." + flagState(headroom.hackFlags, kRenumberBusesFlag),
                        "  ", "    ");
    }
    return text;
}

std::string advice(const tHeadroom& headroom) {
    std::string text = "Where to plug the next expansion chassis\n";
    text += hotAdvice(headroom);
    text += coldAdvice(headroom);
    text += failedAdvice(headroom);
    text += workaroundAdvice(headroom);
    text += wrapped("A chassis with one PCIe switch of N downstream ports needs N + 2 bus numbers (the link to "
                    "the switch, the switch's internal bus, one per downstream port), plus what its cards need: "
                    "a card with a bridge of its own takes more.",
                    "  ", "    ");
    return text;
}

// ---- JSON ----------------------------------------------------------------

// The length of the well-formed UTF-8 sequence that starts at text[i], a
// byte of 0x80 or more; 0 when none does.
std::size_t utf8Length(std::string_view text, std::size_t i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    std::size_t length = byte >= 0xc2 && byte <= 0xdf ? 2 : byte >= 0xe0 && byte <= 0xef ? 3
                                                      : byte >= 0xf0 && byte <= 0xf4 ? 4 : 0;
    for (std::size_t k = 1; k < length; ++k) {
        const bool continuation = i + k < text.size() && (static_cast<unsigned char>(text[i + k]) & 0xc0u) == 0x80u;
        length = continuation ? length : 0;
    }
    if (length >= 3) {
        const auto second = static_cast<unsigned char>(text[i + 1]);
        const bool overlong = (byte == 0xe0 && second < 0xa0) || (byte == 0xf0 && second < 0x90);
        const bool surrogate = byte == 0xed && second >= 0xa0;
        const bool tooLarge = byte == 0xf4 && second >= 0x90;
        length = overlong || surrogate || tooLarge ? 0 : length;
    }
    return length;
}


std::string jsonOptional(const std::optional<std::uint32_t>& value) {
    return value ? std::to_string(*value) : "null";
}

std::string jsonWindow(const tWindowHeadroom& w) {
    return std::string("{\"type\": \"") + kindName(w.window.kind) + "\", \"first\": " + std::to_string(w.window.first) +
           ", \"last\": " + std::to_string(w.window.last) + ", \"size\": " + std::to_string(w.size) +
           ", \"used\": " + std::to_string(w.used) + ", \"reserved\": " + std::to_string(w.reserved) +
           ", \"free\": " + std::to_string(w.free) + ", \"largest_block\": " + std::to_string(w.largestBlock) +
           ", \"exact\": " + (w.window.exact ? "true" : "false") + "}";
}

std::string jsonWindows(const std::vector<tWindowHeadroom>& windows) {
    std::string out = "[";
    for (std::size_t i = 0; i < windows.size(); ++i) {
        out += (i == 0 ? "" : ", ") + jsonWindow(windows[i]);
    }
    return out + "]";
}

std::string jsonTotal(const tSpaceTotal& total) {
    return "{\"size\": " + std::to_string(total.size) + ", \"used\": " + std::to_string(total.used) +
           ", \"free\": " + std::to_string(total.free) + ", \"largest_block\": " +
           std::to_string(total.largestBlock) + "}";
}

std::string jsonMemory(const std::optional<tMemoryTotals>& memory) {
    if (!memory) {
        return "null";
    }
    return "{\"below_4g\": " + jsonTotal(memory->below4g) + ", \"above_4g\": " + jsonTotal(memory->above4g) +
           ", \"io\": " + jsonTotal(memory->io) + "}";
}

std::string jsonUnassigned(const tUnassignedHeadroom& failed) {
    const tUnassigned& r = failed.resource;
    return "{\"address\": " + jsonString(formatPciAddress(r.address)) + ", \"resource\": " + jsonString(r.resource) +
           ", \"type\": \"" + kindName(r.kind) + "\", \"size\": " + std::to_string(r.size) +
           ", \"64bit\": " + (r.is64 ? "true" : "false") + ", \"bridge\": " +
           (failed.bridge ? jsonString(formatPciAddress(*failed.bridge)) : std::string("null")) +
           ", \"window\": " + (failed.window ? jsonWindow(*failed.window) : std::string("null")) + "}";
}

std::string jsonSlot(const tSlotHeadroom& slot, bool addressesRead) {
    return "{\"name\": " + jsonString(slot.name) + ", \"bus\": " + jsonOptional(slot.bus) + ", \"device\": " +
           jsonOptional(slot.device) + ", \"port\": " +
           (slot.port ? jsonString(formatPciAddress(*slot.port)) : std::string("null")) + ", \"hotplug\": " +
           (!slot.hotplug ? "null" : *slot.hotplug ? "true" : "false") + ", \"occupied\": " +
           (slot.occupied ? "true" : "false") + ", \"window\": " + jsonOptional(slot.window) + ", \"usable\": " +
           jsonOptional(slot.usable) + ", \"usable_exact\": " + (slot.usable && !slot.usableBound ? "true" : "false") +
           ", \"windows\": " + (addressesRead ? jsonWindows(slot.windows) : std::string("null")) + "}";
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

std::string jsonKinds(const std::vector<tResourceKind>& kinds) {
    std::string out = "[";
    for (std::size_t i = 0; i < kinds.size(); ++i) {
        out += std::string(i == 0 ? "" : ", ") + "\"" + kindName(kinds[i]) + "\"";
    }
    return out + "]";
}

std::string jsonFailed(const tFailedDevice& failed) {
    return "{\"address\": " + jsonString(formatPciAddress(failed.device.address)) + ", \"id\": " +
           jsonString(failed.device.id) + ", \"problem\": " + std::to_string(failed.device.problem) +
           ", \"bar_types\": " + jsonOptional(failed.device.barTypes) + ", \"bridge\": " +
           (failed.bridge ? jsonString(formatPciAddress(*failed.bridge)) : std::string("null")) +
           ", \"missing_windows\": " + jsonKinds(failed.missingWindows) + "}";
}

std::string jsonRoot(const tRootBusHeadroom& root, bool addressesRead) {
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
    out += in + "\"bridges\": " + jsonObjects(root.bridges, in, [&](const tBridgeWindow& bridge) {
               return "{\"address\": " + jsonString(formatPciAddress(bridge.address)) + ", \"secondary\": " +
                      std::to_string(bridge.secondary) + ", \"subordinate\": " + std::to_string(bridge.subordinate) +
                      ", \"windows\": " + (addressesRead ? jsonWindows(bridge.windows) : std::string("null")) + "}";
           }) + ",\n";
    out += in + "\"slots\": " +
           jsonObjects(root.slots, in, [&](const tSlotHeadroom& slot) { return jsonSlot(slot, addressesRead); }) + ",\n";
    out += in + "\"windows\": " + (root.windows ? jsonWindows(*root.windows) : std::string("null")) + ",\n";
    out += in + "\"memory\": " + jsonMemory(root.memory) + ",\n";
    out += in + "\"unassigned\": " + jsonObjects(root.unassigned, in, jsonUnassigned) + ",\n";
    out += in + "\"resizable\": " + jsonObjects(root.resizable, in, [](const tRootBusHeadroom::tResizable& r) {
               return "{\"address\": " + jsonString(formatPciAddress(r.address)) + ", \"resource\": " +
                      jsonString(r.bar.name) + ", \"size\": " + std::to_string(r.bar.last - r.bar.first + 1) +
                      ", \"max\": " + std::to_string(*r.bar.resizableMax) + "}";
           }) + ",\n";
    out += in + "\"device_problems\": " + jsonObjects(root.failedDevices, in, jsonFailed) + ",\n";
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
           ", \"windows\": " + (headroom.addressesRead ? jsonWindows(slot.windows) : std::string("null")) + "}";
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
               ", \"slots\": [" + slots + "], \"memory\": " + jsonMemory(root.memory) + "}";
    } else {
        out += "null";
    }
    const auto picks = [&](const std::vector<tAdvice::tDevicePick>& list, std::uint32_t bit) {
        std::vector<std::string> items;
        for (const tAdvice::tDevicePick& pick : list) {
            const tRootBusHeadroom& root = headroom.roots[pick.root];
            const tFailedDevice& failed = root.failedDevices[pick.device];
            const std::optional<tHackFlagsRead>& flags = headroom.hackFlags;
            items.push_back("{" + jsonRootKey(root) + ", \"address\": " +
                            jsonString(formatPciAddress(failed.device.address)) + ", \"problem\": " +
                            std::to_string(failed.device.problem) + ", \"bridge\": " +
                            (failed.bridge ? jsonString(formatPciAddress(*failed.bridge)) : std::string("null")) +
                            ", \"missing_windows\": " + jsonKinds(failed.missingWindows) +
                            ", \"hack_flag\": " + std::to_string(bit) + ", \"already_set\": " +
                            (!flags || flags->error ? std::string("null")
                             : flags->value && (*flags->value & bit) != 0 ? std::string("true")
                                                                          : std::string("false")) +
                            "}");
        }
        return jsonObjects(items, "    ", [](const std::string& item) { return item; });
    };
    out += ",\n    \"keep_bridge_windows\": " + picks(advice.keepBridgeWindows, kKeepBridgeWindowsFlag);
    out += ",\n    \"renumber_buses\": " + picks(advice.renumberBuses, kRenumberBusesFlag);
    std::vector<std::string> roots;
    for (const std::size_t r : advice.noMemoryAbove4g) {
        roots.push_back("{" + jsonRootKey(headroom.roots[r]) + "}");
    }
    out += ",\n    \"no_memory_above_4g\": " + jsonObjects(roots, "    ", [](const std::string& item) { return item; });
    out += ",\n    \"smallest_chassis\": " + std::to_string(kSmallestChassis) + "\n  }";
    return out;
}

// ---- Prometheus text exposition format 0.0.4 --------------------------------

// A label value: backslash, double quote and newline escaped as the format
// requires, and bytes that are not UTF-8 replaced by U+FFFD, which the
// format demands of every label value.
std::string labelValue(std::string_view text) {
    std::string out;
    for (std::size_t i = 0; i < text.size();) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (byte == '\\' || byte == '"') {
            out += '\\';
            out += static_cast<char>(byte);
            ++i;
        } else if (byte == '\n') {
            out += "\\n";
            ++i;
        } else if (byte < 0x80) {
            out += static_cast<char>(byte);
            ++i;
        } else if (const std::size_t length = utf8Length(text, i); length == 0) {
            out += "\xef\xbf\xbd";
            ++i;
        } else {
            out.append(text.substr(i, length));
            i += length;
        }
    }
    return out;
}

// The samples of one gauge, printed together under its HELP and TYPE lines
// as the format requires; a gauge without a sample is left out whole.
struct tGauge {
    const char* name;
    const char* help;
    std::string samples;

    void add(const std::string& labels, std::uint64_t value) {
        samples += std::string(name) + (labels.empty() ? "" : "{" + labels + "}") + " " + std::to_string(value) + "\n";
    }
    std::string text() const {
        if (samples.empty()) {
            return "";
        }
        return std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " gauge\n" + samples;
    }
};

std::string rootLabels(const tRootBusHeadroom& root) {
    return "segment=\"" + std::to_string(root.segment) + "\",bus=\"" + hex2(root.bus) + "\"";
}

std::string withLabel(const std::string& labels, const char* name, std::string_view value) {
    return labels + "," + name + "=\"" + labelValue(value) + "\"";
}

constexpr const char kReadSuccessHelp[] = "1 when the machine's PCI tree was read, 0 when it could not be.";

}  // namespace

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
            const std::size_t length = utf8Length(text, i);
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

std::string headroomView(const tHeadroom& headroom, bool kernelLogClosed) {
    std::string view;
    if (headroom.roots.empty()) {
        view += "No PCI root bus was found.\n";
    }
    for (const tRootBusHeadroom& root : headroom.roots) {
        view += rootBlock(root, kernelLogClosed, headroom.exact, headroom.addressesRead) + "\n";
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
    if (headroom.hackFlags) {
        const tHackFlagsRead& flags = *headroom.hackFlags;
        std::string line = "Windows' PCI workarounds for expansion chassis: HackFlags ";
        if (flags.error) {
            line += "could not be read (error " + std::to_string(*flags.error) + ").";
        } else if (!flags.value) {
            line += "not set.";
        } else {
            char text[160];
            std::snprintf(text, sizeof text,
                          "is 0x%x: keeping bridge windows (0x400) %s, renumbering buses (0x200) %s.",
                          static_cast<unsigned>(*flags.value),
                          (*flags.value & kKeepBridgeWindowsFlag) != 0 ? "set" : "not set",
                          (*flags.value & kRenumberBusesFlag) != 0 ? "set" : "not set");
            line += text;
        }
        view += wrapped(line, "", "  ") + "\n";
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
            out += jsonRoot(headroom.roots[i], headroom.addressesRead) + (i + 1 < headroom.roots.size() ? ",\n" : "\n");
        }
        out += "  ]";
    }
    out += ",\n  \"advice\": " + jsonAdvice(headroom);
    // Windows' PCI workarounds: the value, or null where not set, not
    // readable or not looked for (Linux); readable null where not looked for.
    const std::optional<tHackFlagsRead>& flags = headroom.hackFlags;
    out += ",\n  \"hack_flags\": " + (flags && flags->value ? std::to_string(*flags->value) : std::string("null"));
    out += ",\n  \"hack_flags_readable\": " +
           std::string(!flags ? "null" : flags->error ? "false" : "true");
    if (!headroom.problems.empty() || !headroom.unplacedSlots.empty()) {
        out += ",\n  \"extra\": {\n    \"problems\": " + jsonStrings(headroom.problems, "    ") +
               ",\n    \"unplaced_slots\": " +
               jsonObjects(headroom.unplacedSlots, "    ",
                           [&](const tSlotHeadroom& slot) { return jsonSlot(slot, headroom.addressesRead); }) +
               "\n  }";
    }
    return out + "\n}\n";
}

std::string headroomMetrics(const tHeadroom& headroom) {
    tGauge success{"rootscope_headroom_read_success", kReadSuccessHelp, {}};
    tGauge exact{"rootscope_headroom_exact",
                 "1 when bus counts are exact (Linux), 0 when some bridge windows were inferred (Windows).", {}};
    tGauge busNumbers{"rootscope_bus_numbers",
                      "Bus numbers of a root bus by state: claimed by its tree, in_use by a bus, reserved for "
                      "hot-plug below a port, free in its range.",
                      {}};
    tGauge rangeFirst{"rootscope_bus_range_first", "First bus number of a root bus's range.", {}};
    tGauge rangeLast{"rootscope_bus_range_last", "Last bus number of a root bus's range.", {}};
    tGauge memoryFree{"rootscope_memory_free_bytes",
                      "Free bytes of a root bus's memory windows, below and above 4 GiB.", {}};
    tGauge memoryBlock{"rootscope_memory_largest_block_bytes",
                       "Largest aligned free block of a root bus's memory windows, below and above 4 GiB.", {}};
    tGauge ioFree{"rootscope_io_free_ports", "Free I/O ports of a root bus's windows.", {}};
    tGauge above4g{"rootscope_memory_window_above_4g", "1 when a root bus has a memory window above 4 GiB.", {}};
    tGauge unassigned{"rootscope_unassigned_functions",
                      "Functions below a root bus with a resource that got no address space.", {}};
    tGauge slotBuses{"rootscope_slot_bus_numbers",
                     "Bus numbers a chassis plugged into an empty hot-plug slot could be given.", {}};
    tGauge slotBlock{"rootscope_slot_largest_block_bytes",
                     "Largest aligned free block of an empty hot-plug slot's port window, by type.", {}};
    success.add("", 1);
    exact.add("", headroom.exact ? 1 : 0);
    // A series is one (name, labels): root buses the system numbers alike
    // (Windows may give two the same bus) and slots of one name on a root
    // cannot be told apart by their labels, so their numbers are left out
    // rather than given twice. Both lists are sorted: equal ones are
    // neighbours.
    const auto sameRoot = [&](std::size_t i, std::size_t j) {
        return j < headroom.roots.size() && headroom.roots[i].segment == headroom.roots[j].segment &&
               headroom.roots[i].bus == headroom.roots[j].bus;
    };
    for (std::size_t r = 0; r < headroom.roots.size(); ++r) {
        if ((r > 0 && sameRoot(r - 1, r)) || sameRoot(r, r + 1)) {
            continue;
        }
        const tRootBusHeadroom& root = headroom.roots[r];
        const std::string labels = rootLabels(root);
        busNumbers.add(withLabel(labels, "state", "claimed"), root.claimed);
        busNumbers.add(withLabel(labels, "state", "in_use"), root.buses);
        busNumbers.add(withLabel(labels, "state", "reserved"), root.reserved);
        if (root.range && root.free) {
            busNumbers.add(withLabel(labels, "state", "free"), *root.free);
        }
        if (root.range) {
            rangeFirst.add(labels, root.range->first);
            rangeLast.add(labels, root.range->last);
        }
        if (root.memory) {
            memoryFree.add(withLabel(labels, "type", "below_4g"), root.memory->below4g.free);
            memoryFree.add(withLabel(labels, "type", "above_4g"), root.memory->above4g.free);
            memoryBlock.add(withLabel(labels, "type", "below_4g"), root.memory->below4g.largestBlock);
            memoryBlock.add(withLabel(labels, "type", "above_4g"), root.memory->above4g.largestBlock);
            ioFree.add(labels, root.memory->io.free);
            above4g.add(labels, root.memory->above4g.size > 0 ? 1 : 0);
        }
        if (headroom.addressesRead) {
            // Distinct functions: one function may lack space for several
            // resources, and Windows says only that a function got none
            // (Code 12).
            std::set<tPciAddress> functionSet;
            for (const tUnassignedHeadroom& failed : root.unassigned) {
                functionSet.insert(failed.resource.address);
            }
            for (const tFailedDevice& failed : root.failedDevices) {
                if (failed.device.problem == kProblemNoResources) {
                    functionSet.insert(failed.device.address);
                }
            }
            const std::uint64_t functions = functionSet.size();
            unassigned.add(labels, functions);
        }
        for (std::size_t k = 0; k < root.slots.size(); ++k) {
            const tSlotHeadroom& slot = root.slots[k];
            const bool named = (k > 0 && root.slots[k - 1].name == slot.name) ||
                               (k + 1 < root.slots.size() && root.slots[k + 1].name == slot.name);
            if (named || slot.occupied || !slot.hotplug || !*slot.hotplug) {
                continue;
            }
            const std::string slotLabels = withLabel(labels, "slot", slot.name);
            if (slot.usable) {
                slotBuses.add(slotLabels, *slot.usable);
            }
            if (!headroom.addressesRead) {
                continue;
            }
            for (const tResourceKind kind : {tResourceKind::kMemory, tResourceKind::kPrefetchable}) {
                std::optional<std::uint64_t> largest;
                for (const tWindowHeadroom& window : slot.windows) {
                    if (window.window.kind == kind) {
                        largest = std::max(largest.value_or(0), window.largestBlock);
                    }
                }
                if (largest) {
                    slotBlock.add(withLabel(slotLabels, "type", kindName(kind)), *largest);
                }
            }
        }
    }
    std::string out;
    for (const tGauge* gauge : {&success, &exact, &busNumbers, &rangeFirst, &rangeLast, &memoryFree, &memoryBlock,
                                &ioFree, &above4g, &unassigned, &slotBuses, &slotBlock}) {
        out += gauge->text();
    }
    return out;
}

std::string headroomMetricsUnread() {
    tGauge success{"rootscope_headroom_read_success", kReadSuccessHelp, {}};
    success.add("", 0);
    return success.text();
}

}  // namespace nROOTSCOPE_1_0

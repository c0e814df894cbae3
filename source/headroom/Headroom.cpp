// SPDX-License-Identifier: MIT
#include "Headroom.h"

#include "IntervalSet.h"

#include <algorithm>
#include <bitset>
#include <cstdio>
#include <map>
#include <array>
#include <cstdint>
#include <optional>
#include <set>
#include <utility>

namespace nROOTSCOPE_1_0 {

namespace {

using tBusSet = std::bitset<256>;

std::string hex2(std::uint32_t value) {
    char text[8];
    std::snprintf(text, sizeof text, "%02x", static_cast<unsigned>(value & 0xffu));
    return text;
}

std::string windowText(std::uint32_t secondary, std::uint32_t subordinate) {
    return "[" + hex2(secondary) + "-" + hex2(subordinate) + "]";
}

bool validWindow(const tPciFunction& function) {
    return function.secondary && function.subordinate && function.address.bus < *function.secondary &&
           *function.secondary <= *function.subordinate && *function.subordinate <= 0xff;
}

void claimWindows(const tTopologyRoot& root, tRootBusHeadroom& result, tBusSet& claimed, tBusSet& buses) {
    for (const tPciFunction& function : root.functions) {
        if (!function.bridge || function.windowHidden) {
            continue;
        }
        const std::string name = formatPciAddress(function.address);
        if (!function.secondary || !function.subordinate) {
            result.problems.push_back(name + ": its window cannot be read (" + function.unreadable +
                                      "), so it claims none");
        } else if (!validWindow(function)) {
            result.problems.push_back(name + ": window " + windowText(*function.secondary, *function.subordinate) +
                                      " does not lie above its own bus " + hex2(function.address.bus) +
                                      ", so it claims none");
        } else {
            for (std::uint32_t n = *function.secondary; n <= *function.subordinate; ++n) {
                claimed.set(n);
            }
            buses.set(*function.secondary);
            result.bridges.push_back({function.address, *function.secondary, *function.subordinate, function.inferred, {}});
        }
    }
}

// Every bus a function sits on exists; one that no bridge leads to is a
// problem unless an SR-IOV virtual function sits there.
void claimFunctionBuses(const tTopologyRoot& root, tRootBusHeadroom& result, tBusSet& claimed, tBusSet& buses) {
    tBusSet secondaries;
    for (const tBridgeWindow& bridge : result.bridges) {
        secondaries.set(bridge.secondary);
    }
    tBusSet orphans;
    std::map<std::uint32_t, tPciAddress> firstOnOrphan;
    for (const tPciFunction& function : root.functions) {
        const std::uint32_t bus = function.address.bus & 0xffu;
        claimed.set(bus);
        buses.set(bus);
        if (bus != root.bus && !secondaries.test(bus) && !function.virtualFunction && !orphans.test(bus)) {
            orphans.set(bus);
            firstOnOrphan[bus] = function.address;
        }
    }
    for (const auto& [bus, address] : firstOnOrphan) {
        result.problems.push_back("bus " + hex2(bus) + " has functions (" + formatPciAddress(address) +
                                  ") but no bridge leads to it");
    }
}

// A window must lie inside the window of the bridge above, and windows of
// bridges side by side must not overlap. Siblings are swept in order of
// their first number, holding the one that reaches furthest so far: every
// window that overlaps another is named with the one it runs into.
void checkNesting(const tTopologyRoot& root, tRootBusHeadroom& result) {
    std::map<tPciAddress, const tBridgeWindow*> windows;
    for (const tBridgeWindow& bridge : result.bridges) {
        windows[bridge.address] = &bridge;
    }
    std::map<std::optional<tPciAddress>, std::vector<const tBridgeWindow*>> siblings;
    for (const tPciFunction& function : root.functions) {
        const auto self = windows.find(function.address);
        if (self == windows.end()) {
            continue;
        }
        siblings[function.parent].push_back(self->second);
        if (!function.parent) {
            continue;
        }
        const auto parent = windows.find(*function.parent);
        if (parent == windows.end()) {
            continue;  // a parent without a valid window is a problem of its own
        }
        const tBridgeWindow& outer = *parent->second;
        const tBridgeWindow& inner = *self->second;
        if (inner.address.bus < outer.secondary || inner.address.bus > outer.subordinate ||
            inner.subordinate > outer.subordinate) {
            result.problems.push_back(formatPciAddress(inner.address) + ": window " +
                                      windowText(inner.secondary, inner.subordinate) + " on bus " +
                                      hex2(inner.address.bus) + " lies outside its parent " +
                                      formatPciAddress(outer.address) + "'s " +
                                      windowText(outer.secondary, outer.subordinate));
        }
    }
    for (auto& [parent, group] : siblings) {
        std::sort(group.begin(), group.end(), [](const tBridgeWindow* a, const tBridgeWindow* b) {
            return std::pair(a->secondary, a->address) < std::pair(b->secondary, b->address);
        });
        const tBridgeWindow* reach = nullptr;
        for (const tBridgeWindow* window : group) {
            if (reach != nullptr && window->secondary <= reach->subordinate) {
                result.problems.push_back("windows " + windowText(reach->secondary, reach->subordinate) + " of " +
                                          formatPciAddress(reach->address) + " and " +
                                          windowText(window->secondary, window->subordinate) + " of " +
                                          formatPciAddress(window->address) + " overlap");
            }
            if (reach == nullptr || window->subordinate > reach->subordinate) {
                reach = window;
            }
        }
    }
}

// Bus numbers are one kind of address space: what is free of the range,
// and its longest run, come from the same interval set as every window's.
void count(tRootBusHeadroom& result, const tBusSet& claimed, const tBusSet& buses) {
    result.claimed = static_cast<std::uint32_t>(claimed.count());
    result.buses = static_cast<std::uint32_t>(buses.count());
    result.reserved = result.claimed - result.buses;
    const bool ranged = result.range.has_value();
    const std::uint32_t first = ranged ? static_cast<std::uint32_t>(result.range->first) : 0;
    const std::uint32_t last = ranged ? static_cast<std::uint32_t>(result.range->last) : 0xff;
    tIntervalSet claims;
    for (std::uint32_t n = 0; n < 256; ++n) {
        const bool inside = n >= first && n <= last;
        if (buses.test(n)) {
            result.uses[n] = tBusUse::kBus;
        } else if (claimed.test(n)) {
            result.uses[n] = tBusUse::kReserved;
        } else {
            result.uses[n] = inside ? tBusUse::kFree : tBusUse::kOutside;
        }
        if (claimed.test(n)) {
            claims.add(n, n);
            result.outsideRange += inside ? 0 : 1;
        }
    }
    claims.seal();
    if (ranged && first <= last) {
        result.free = static_cast<std::uint32_t>((last - first + 1) - claims.coveredWithin(first, last));
        const auto [run, start] = claims.longestGap(first, last);
        result.largestFreeRun = static_cast<std::uint32_t>(run);
        result.largestFreeRunStart = static_cast<std::uint32_t>(start);
    } else if (ranged) {
        result.free = 0;
        result.largestFreeRun = 0;
    } else {
        result.outsideRange = 0;  // no range, nothing lies outside it
    }
}

// What the slots of one root bus are looked up in, built once.
struct tRootIndex {
    // Functions by address, for the walk from a bridge to its parents.
    std::vector<std::pair<tPciAddress, const tPciFunction*>> functions;
    // (bus << 8 | device) of every function, sorted.
    std::vector<std::uint32_t> devices;
    tBusSet functionBuses;
    std::vector<tPciAddress> parents;  // every function's parent, sorted
    // The valid windows (tRootBusHeadroom::bridges, in address order): the
    // nearest window above each, the windows directly below each, and how
    // many windows claim each number.
    std::vector<std::optional<std::size_t>> windowParent;
    std::vector<std::vector<std::size_t>> windowChildren;
    std::array<std::uint32_t, 257> cover{};
    std::vector<std::optional<std::uint32_t>> usable;  // per window, worked out once
    // (secondary, window) of every valid window, sorted: the first in
    // address order that leads to a bus.
    std::vector<std::pair<std::uint32_t, std::size_t>> bySecondary;
};

template <typename T>
bool sortedHas(const std::vector<T>& sorted, const T& value) {
    return std::binary_search(sorted.begin(), sorted.end(), value);
}

std::optional<std::size_t> windowAt(const tRootBusHeadroom& result, const tPciAddress& address) {
    const auto at = std::lower_bound(result.bridges.begin(), result.bridges.end(), address,
                                     [](const tBridgeWindow& bridge, const tPciAddress& a) { return bridge.address < a; });
    if (at == result.bridges.end() || !(at->address == address)) {
        return std::nullopt;
    }
    return static_cast<std::size_t>(at - result.bridges.begin());
}

const tPciFunction* functionAt(const tRootIndex& index, const tPciAddress& address) {
    const auto at = std::lower_bound(
        index.functions.begin(), index.functions.end(), address,
        [](const std::pair<tPciAddress, const tPciFunction*>& entry, const tPciAddress& a) { return entry.first < a; });
    return at != index.functions.end() && at->first == address ? at->second : nullptr;
}

tRootIndex indexRoot(const tTopologyRoot& root, const tRootBusHeadroom& result) {
    tRootIndex index;
    for (const tPciFunction& function : root.functions) {
        index.functions.emplace_back(function.address, &function);
        index.devices.push_back((function.address.bus & 0xffu) << 8 | (function.address.device & 0x1fu));
        index.functionBuses.set(function.address.bus & 0xffu);
        if (function.parent) {
            index.parents.push_back(*function.parent);
        }
    }
    std::sort(index.functions.begin(), index.functions.end(),
              [](const auto& a, const auto& b) { return a.first < b.first; });
    std::sort(index.devices.begin(), index.devices.end());
    std::sort(index.parents.begin(), index.parents.end());

    index.windowParent.assign(result.bridges.size(), std::nullopt);
    index.windowChildren.assign(result.bridges.size(), {});
    index.usable.assign(result.bridges.size(), std::nullopt);
    std::array<std::int64_t, 257> difference{};
    for (std::size_t i = 0; i < result.bridges.size(); ++i) {
        const tBridgeWindow& window = result.bridges[i];
        ++difference[window.secondary];
        --difference[window.subordinate + 1];
        index.bySecondary.emplace_back(window.secondary, i);
        // The nearest bridge above with a valid window; a walk longer than
        // the functions (parents in a loop) stops.
        const tPciFunction* self = functionAt(index, window.address);
        std::optional<tPciAddress> above = self != nullptr ? self->parent : std::nullopt;
        for (std::size_t steps = 0; above && steps <= index.functions.size(); ++steps) {
            if (const std::optional<std::size_t> parent = windowAt(result, *above)) {
                if (*parent != i) {
                    index.windowParent[i] = parent;
                    index.windowChildren[*parent].push_back(i);
                }
                break;
            }
            const tPciFunction* next = functionAt(index, *above);
            above = next != nullptr ? next->parent : std::nullopt;
        }
    }
    std::sort(index.bySecondary.begin(), index.bySecondary.end());
    std::int64_t running = 0;
    for (std::size_t n = 0; n < 257; ++n) {
        running += difference[n];
        index.cover[n] = static_cast<std::uint32_t>(running);
    }
    return index;
}

// The longest run of window `at`'s numbers that only its own subtree and
// the windows above it claim. Each window of the subtree and of the chain
// above is visited once; the chain and the subtree of a valid window are
// at most 256 deep, since each window lies above its bridge's own bus.
std::uint32_t usableNumbers(const tRootBusHeadroom& result, tRootIndex& index, std::size_t at) {
    if (index.usable[at]) {
        return *index.usable[at];
    }
    std::array<std::int64_t, 257> difference{};
    const auto add = [&](std::size_t i) {
        ++difference[result.bridges[i].secondary];
        --difference[result.bridges[i].subordinate + 1];
    };
    std::vector<bool> seen(result.bridges.size(), false);
    std::vector<std::size_t> pending{at};
    while (!pending.empty()) {
        const std::size_t i = pending.back();
        pending.pop_back();
        if (seen[i]) {
            continue;
        }
        seen[i] = true;
        add(i);
        pending.insert(pending.end(), index.windowChildren[i].begin(), index.windowChildren[i].end());
    }
    for (std::optional<std::size_t> above = index.windowParent[at]; above && !seen[*above];
         above = index.windowParent[*above]) {
        seen[*above] = true;
        add(*above);
    }
    const tBridgeWindow& window = result.bridges[at];
    std::int64_t own = 0;
    std::uint32_t run = 0;
    std::uint32_t longest = 0;
    for (std::uint32_t n = 0; n <= window.subordinate; ++n) {
        own += difference[n];
        if (n < window.secondary) {
            continue;
        }
        run = static_cast<std::int64_t>(index.cover[n]) == own ? run + 1 : 0;
        longest = std::max(longest, run);
    }
    index.usable[at] = longest;
    return longest;
}

// ---- address windows -------------------------------------------------------

constexpr std::uint64_t k4GiB = std::uint64_t{1} << 32;

bool isIo(tResourceKind kind) {
    return kind == tResourceKind::kIo;
}

// What lies directly below one node (a root bus or a bridge), in each of
// the two address spaces.
struct tSpacesBelow {
    tIntervalSet io;
    tIntervalSet memory;

    const tIntervalSet& of(tResourceKind kind) const { return isIo(kind) ? io : memory; }
};

// The address windows of one root bus and of every bridge below it, worked
// out bottom up: each bridge once, whatever asks for it first.
class tSpaceAnalysis {
public:
    explicit tSpaceAnalysis(const tTopologyRoot& root) {
        for (const tPciFunction& function : root.functions) {
            below_[function.parent].push_back(&function);
        }
    }

    tSpacesBelow spacesBelow(const std::optional<tPciAddress>& node) const {
        tSpacesBelow spaces;
        const auto children = below_.find(node);
        if (children != below_.end()) {
            for (const tPciFunction* child : children->second) {
                for (const tBar& bar : child->bars) {
                    (isIo(bar.kind) ? spaces.io : spaces.memory).add(bar.first, bar.last);
                }
                for (const tWindow& window : child->windows) {
                    (isIo(window.kind) ? spaces.io : spaces.memory).add(window.first, window.last);
                }
            }
        }
        spaces.io.seal();
        spaces.memory.seal();
        return spaces;
    }

    // The windows of `node` with what is left of each.
    std::vector<tWindowHeadroom> windowsOf(const std::optional<tPciAddress>& node, std::vector<tWindow> windows) {
        std::sort(windows.begin(), windows.end(),
                  [](const tWindow& a, const tWindow& b) { return std::pair(a.first, a.last) < std::pair(b.first, b.last); });
        const tSpacesBelow spaces = spacesBelow(node);
        std::vector<tWindowHeadroom> result;
        for (const tWindow& window : windows) {
            if (window.kind == tResourceKind::kBusNumbers || window.first > window.last ||
                window.last == ~std::uint64_t{0}) {
                continue;  // readers refuse these; nothing to count in them
            }
            tWindowHeadroom headroom;
            headroom.window = window;
            headroom.size = window.last - window.first + 1;
            headroom.used = spaces.of(window.kind).coveredWithin(window.first, window.last);
            headroom.free = headroom.size - headroom.used;
            headroom.largestBlock = spaces.of(window.kind).largestAlignedGap(window.first, window.last);
            headroom.reserved = reservedBelow(node, window);
            result.push_back(headroom);
        }
        return result;
    }

    // A bridge's windows, worked out once.
    const std::vector<tWindowHeadroom>& bridgeWindows(const tPciFunction& bridge) {
        if (const auto known = memo_.find(bridge.address); known != memo_.end()) {
            return known->second;
        }
        if (!active_.insert(bridge.address).second) {
            return none_;  // a bridge below itself: a loop counts nothing twice
        }
        std::vector<tWindowHeadroom> windows = windowsOf(bridge.address, bridge.windows);
        active_.erase(bridge.address);
        return memo_.emplace(bridge.address, std::move(windows)).first->second;
    }

    // What lies directly below `node` outside every window it has of its
    // address space, and windows of bridges side by side that overlap.
    void checkPlacement(const std::optional<tPciAddress>& node, const std::vector<tWindow>& windows,
                        std::vector<std::string>& problems) const {
        const auto children = below_.find(node);
        if (children == below_.end()) {
            return;
        }
        const std::string above = node ? "its bridge " + formatPciAddress(*node) : std::string("the root bus");
        const auto inside = [&](tResourceKind kind, std::uint64_t first, std::uint64_t last) {
            return std::any_of(windows.begin(), windows.end(), [&](const tWindow& w) {
                return isIo(w.kind) == isIo(kind) && w.first <= first && last <= w.last;
            });
        };
        struct tPlaced {
            std::uint64_t first;
            std::uint64_t last;
            const tPciFunction* bridge;
            tResourceKind kind;
        };
        std::vector<tPlaced> placed[2];  // I/O, memory
        for (const tPciFunction* child : children->second) {
            for (const tBar& bar : child->bars) {
                if (!inside(bar.kind, bar.first, bar.last)) {
                    problems.push_back(formatPciAddress(child->address) + " " + bar.name + " " +
                                       rangeText(bar.kind, bar.first, bar.last) + " lies outside every " +
                                       (isIo(bar.kind) ? "I/O" : "memory") + " window of " + above);
                }
            }
            for (const tWindow& window : child->windows) {
                if (!inside(window.kind, window.first, window.last)) {
                    problems.push_back(formatPciAddress(child->address) + ": window " +
                                       rangeText(window.kind, window.first, window.last) + " lies outside every " +
                                       (isIo(window.kind) ? "I/O" : "memory") + " window of " + above);
                }
                placed[isIo(window.kind) ? 0 : 1].push_back({window.first, window.last, child, window.kind});
            }
        }
        for (std::vector<tPlaced>& space : placed) {
            std::sort(space.begin(), space.end(),
                      [](const tPlaced& a, const tPlaced& b) { return std::pair(a.first, a.last) < std::pair(b.first, b.last); });
            const tPlaced* reach = nullptr;
            for (const tPlaced& window : space) {
                if (reach != nullptr && window.first <= reach->last && window.bridge != reach->bridge) {
                    problems.push_back("windows " + rangeText(reach->kind, reach->first, reach->last) + " of " +
                                       formatPciAddress(reach->bridge->address) + " and " +
                                       rangeText(window.kind, window.first, window.last) + " of " +
                                       formatPciAddress(window.bridge->address) + " overlap");
                }
                if (reach == nullptr || window.last > reach->last) {
                    reach = &window;
                }
            }
        }
    }

private:
    static std::string rangeText(tResourceKind kind, std::uint64_t first, std::uint64_t last) {
        char text[64];
        std::snprintf(text, sizeof text, "[%s %#llx-%#llx]",
                      isIo(kind) ? "io" : kind == tResourceKind::kPrefetchable ? "mem pref" : "mem",
                      static_cast<unsigned long long>(first), static_cast<unsigned long long>(last));
        return text;
    }

    std::uint64_t reservedBelow(const std::optional<tPciAddress>& node, const tWindow& window) {
        std::uint64_t reserved = 0;
        const auto children = below_.find(node);
        if (children == below_.end()) {
            return 0;
        }
        for (const tPciFunction* child : children->second) {
            if (child->windows.empty()) {
                continue;
            }
            for (const tWindowHeadroom& inner : bridgeWindows(*child)) {
                if (isIo(inner.window.kind) == isIo(window.kind) && inner.window.first >= window.first &&
                    inner.window.last <= window.last) {
                    reserved = saturatingAdd(reserved, saturatingAdd(inner.free, inner.reserved));
                }
            }
        }
        return reserved;
    }

    static std::uint64_t saturatingAdd(std::uint64_t a, std::uint64_t b) {
        return a > ~std::uint64_t{0} - b ? ~std::uint64_t{0} : a + b;
    }

    std::map<std::optional<tPciAddress>, std::vector<const tPciFunction*>> below_;
    std::map<tPciAddress, std::vector<tWindowHeadroom>> memo_;
    std::set<tPciAddress> active_;
    const std::vector<tWindowHeadroom> none_;
};

void addPart(tSpaceTotal& total, const tIntervalSet& below, std::uint64_t first, std::uint64_t last) {
    const std::uint64_t size = last - first + 1;
    const std::uint64_t used = below.coveredWithin(first, last);
    total.size += size;
    total.used += used;
    total.free += size - used;
    total.largestBlock = std::max(total.largestBlock, below.largestAlignedGap(first, last));
}

// The root bus's windows added up per address space, memory split at 4 GiB.
tMemoryTotals totalsOf(const std::vector<tWindowHeadroom>& windows, const tSpacesBelow& spaces) {
    tMemoryTotals totals;
    for (const tWindowHeadroom& headroom : windows) {
        const tWindow& window = headroom.window;
        if (isIo(window.kind)) {
            addPart(totals.io, spaces.io, window.first, window.last);
            continue;
        }
        if (window.first < k4GiB) {
            addPart(totals.below4g, spaces.memory, window.first, std::min(window.last, k4GiB - 1));
        }
        if (window.last >= k4GiB) {
            addPart(totals.above4g, spaces.memory, std::max(window.first, k4GiB), window.last);
        }
    }
    return totals;
}

// The window a resource that got no space would have gone into: of its
// bridge, or of the root bus, one for its kind (a prefetchable BAR goes to
// a prefetchable window, any other memory to a non-prefetchable one, and a
// prefetchable one there too where there is no prefetchable window). Of
// several (a root bus has many), the one with the largest free block.
std::optional<tWindowHeadroom> windowFor(const tUnassigned& resource, const std::vector<tWindowHeadroom>& windows) {
    const auto best = [&](tResourceKind kind) -> std::optional<tWindowHeadroom> {
        std::optional<tWindowHeadroom> found;
        for (const tWindowHeadroom& window : windows) {
            if (window.window.kind == kind && (!found || window.largestBlock > found->largestBlock)) {
                found = window;
            }
        }
        return found;
    };
    if (isIo(resource.kind)) {
        return best(tResourceKind::kIo);
    }
    if (resource.kind == tResourceKind::kPrefetchable) {
        if (std::optional<tWindowHeadroom> prefetchable = best(tResourceKind::kPrefetchable)) {
            return prefetchable;
        }
    }
    return best(tResourceKind::kMemory);
}

// Where slots go: the root bus each segment's bus numbers belong to, by
// the first root that claims a number, else by the first whose range holds
// it, else by the nearest root below it.
class tSlotPlacer {
public:
    tSlotPlacer(const std::vector<tRootBusHeadroom>& roots, const std::vector<tBusSet>& claimed) {
        for (std::size_t i = 0; i < roots.size(); ++i) {
            tSegment& segment = segments_[roots[i].segment];
            for (std::uint32_t n = 0; n < 256; ++n) {
                if (claimed[i].test(n) && !segment.claimedBy[n]) {
                    segment.claimedBy[n] = i;
                }
                if (roots[i].range && n >= roots[i].range->first && n <= roots[i].range->last &&
                    !segment.rangedBy[n]) {
                    segment.rangedBy[n] = i;
                }
                if (roots[i].bus <= n) {
                    segment.below[n] = i;  // roots are in bus order: the last one wins
                }
            }
        }
    }

    std::optional<std::size_t> place(std::uint32_t segment, std::uint32_t bus) const {
        const auto found = segments_.find(segment);
        if (found == segments_.end() || bus > 0xff) {
            return std::nullopt;
        }
        const tSegment& s = found->second;
        return s.claimedBy[bus] ? s.claimedBy[bus] : s.rangedBy[bus] ? s.rangedBy[bus] : s.below[bus];
    }

private:
    struct tSegment {
        std::array<std::optional<std::size_t>, 256> claimedBy{};
        std::array<std::optional<std::size_t>, 256> rangedBy{};
        std::array<std::optional<std::size_t>, 256> below{};
    };
    std::map<std::uint32_t, tSegment> segments_;
};

void describeSlot(tRootBusHeadroom& root, tRootIndex& index, const tPciSlot& slot, tSlotHeadroom& placed) {
    std::optional<std::size_t> port;
    if (slot.port) {
        port = windowAt(root, *slot.port);
    } else if (slot.bus) {
        const auto at = std::lower_bound(index.bySecondary.begin(), index.bySecondary.end(),
                                         std::pair<std::uint32_t, std::size_t>(*slot.bus, 0));
        if (at != index.bySecondary.end() && at->first == *slot.bus) {
            port = at->second;
        }
    }
    if (port) {
        const tBridgeWindow& bridge = root.bridges[*port];
        placed.port = bridge.address;
        placed.bus = bridge.secondary;
        placed.window = bridge.subordinate - bridge.secondary + 1;
        placed.windowInferred = bridge.inferred;
        placed.windows = bridge.windows;
        placed.usable = usableNumbers(root, index, *port);
        placed.usableBound = !root.claimsExact;
    } else if (slot.port) {
        const auto hidden = std::lower_bound(
            root.hiddenPorts.begin(), root.hiddenPorts.end(), *slot.port,
            [](const tRootBusHeadroom::tHiddenPort& p, const tPciAddress& a) { return p.address < a; });
        if (hidden != root.hiddenPorts.end() && hidden->address == *slot.port) {
            placed.windows = hidden->windows;  // its numbers are not visible, its addresses are
        }
    } else if (placed.bus && *placed.bus == root.bus) {
        // A slot on the root bus itself: what is added there takes its
        // numbers from the root bus's free ones.
        placed.usable = root.largestFreeRun;
        placed.usableBound = !root.exact;
    }
    if (placed.device && placed.bus) {
        placed.occupied = sortedHas(index.devices, (*placed.bus & 0xffu) << 8 | (*placed.device & 0x1fu));
    } else {
        placed.occupied = (placed.bus && *placed.bus <= 0xff && index.functionBuses.test(*placed.bus)) ||
                          (slot.port && sortedHas(index.parents, *slot.port));
    }
}

// The windows a card needs of the bridge above it, by its BAR counts (I/O,
// memory, 32-bit and 64-bit prefetchable, a byte each); without them, the
// memory windows any card with memory BARs may need.
std::vector<tResourceKind> neededWindows(const std::optional<std::uint32_t>& barTypes) {
    if (!barTypes) {
        return {tResourceKind::kMemory, tResourceKind::kPrefetchable};
    }
    std::vector<tResourceKind> needs;
    if ((*barTypes & 0xffu) != 0) {
        needs.push_back(tResourceKind::kIo);
    }
    if (((*barTypes >> 8) & 0xffu) != 0) {
        needs.push_back(tResourceKind::kMemory);
    }
    if (((*barTypes >> 16) & 0xffu) != 0 || ((*barTypes >> 24) & 0xffu) != 0) {
        needs.push_back(tResourceKind::kPrefetchable);
    }
    return needs;
}

tFailedDevice describeFailure(const tDeviceProblem& device,
                              const std::map<tPciAddress, const tPciFunction*>& byAddress) {
    tFailedDevice failed{device, std::nullopt, {}};
    const auto self = byAddress.find(device.address);
    if (self == byAddress.end() || !self->second->parent) {
        return failed;
    }
    failed.bridge = self->second->parent;
    const auto bridge = byAddress.find(*failed.bridge);
    if (device.problem != kProblemNoResources || bridge == byAddress.end()) {
        return failed;
    }
    for (const tResourceKind kind : neededWindows(device.barTypes)) {
        const std::vector<tWindow>& windows = bridge->second->windows;
        if (std::none_of(windows.begin(), windows.end(), [&](const tWindow& w) { return w.kind == kind; })) {
            failed.missingWindows.push_back(kind);
        }
    }
    return failed;
}

void advise(tHeadroom& headroom) {
    tAdvice& advice = headroom.advice;
    for (std::size_t r = 0; r < headroom.roots.size(); ++r) {
        const tRootBusHeadroom& root = headroom.roots[r];
        for (std::size_t k = 0; k < root.failedDevices.size(); ++k) {
            const tFailedDevice& failed = root.failedDevices[k];
            if (failed.device.problem == kProblemNoResources && !failed.missingWindows.empty()) {
                advice.keepBridgeWindows.push_back({r, k});
            } else if (failed.device.problem == kProblemFailedAdd) {
                advice.renumberBuses.push_back({r, k});
            }
        }
        if (root.memory && root.memory->above4g.size == 0) {
            advice.noMemoryAbove4g.push_back(r);
        }
    }
    for (std::size_t r = 0; r < headroom.roots.size(); ++r) {
        const tRootBusHeadroom& root = headroom.roots[r];
        advice.anyRange = advice.anyRange || root.free.has_value();
        for (std::size_t k = 0; k < root.slots.size(); ++k) {
            const tSlotHeadroom& slot = root.slots[k];
            advice.anyEmptySlot = advice.anyEmptySlot || !slot.occupied;
            if (!slot.hotplug.value_or(false) || slot.occupied || !slot.usable) {
                continue;
            }
            if (*slot.usable < kSmallestChassis) {
                advice.tooSmall.push_back({r, k});
                continue;
            }
            if (!advice.hotSlot ||
                *slot.usable > *headroom.roots[advice.hotSlot->root].slots[advice.hotSlot->slot].usable) {
                advice.hotSlot = tAdvice::tSlotPick{r, k};
            }
        }
    }
    const auto hasEmptySlot = [](const tRootBusHeadroom& root) {
        return std::any_of(root.slots.begin(), root.slots.end(), [](const tSlotHeadroom& s) { return !s.occupied; });
    };
    // A root bus the user can plug into first; then the most free numbers.
    for (std::size_t r = 0; r < headroom.roots.size(); ++r) {
        const tRootBusHeadroom& root = headroom.roots[r];
        if (!root.free || *root.free < kSmallestChassis) {
            continue;
        }
        if (!advice.coldRoot) {
            advice.coldRoot = r;
            continue;
        }
        const tRootBusHeadroom& best = headroom.roots[*advice.coldRoot];
        const bool pluggable = hasEmptySlot(root);
        const bool bestPluggable = hasEmptySlot(best);
        if ((pluggable && !bestPluggable) || (pluggable == bestPluggable && *root.free > *best.free)) {
            advice.coldRoot = r;
        }
    }
    if (advice.coldRoot) {
        const tRootBusHeadroom& root = headroom.roots[*advice.coldRoot];
        for (std::size_t k = 0; k < root.slots.size(); ++k) {
            if (!root.slots[k].occupied) {
                advice.coldSlots.push_back(k);
            }
        }
    }
}

}  // namespace

tHeadroom analyseHeadroom(const tTopology& topology) {
    tHeadroom headroom;
    headroom.exact = topology.exact;
    headroom.addressesRead = topology.addressesRead;
    headroom.problems = topology.problems;
    headroom.hackFlags = topology.hackFlags;

    std::vector<std::size_t> order(topology.roots.size());
    for (std::size_t i = 0; i < order.size(); ++i) {
        order[i] = i;
    }
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        return std::pair(topology.roots[a].segment, topology.roots[a].bus) <
               std::pair(topology.roots[b].segment, topology.roots[b].bus);
    });
    std::vector<std::size_t> sortedAt(order.size());  // a topology root's index in headroom.roots

    // The resources that got no space, by the root bus their function is on.
    std::vector<std::vector<tUnassigned>> unassignedByRoot(topology.roots.size());
    {
        std::map<tPciAddress, std::size_t> rootOf;
        for (std::size_t i = 0; i < topology.roots.size(); ++i) {
            for (const tPciFunction& function : topology.roots[i].functions) {
                rootOf.emplace(function.address, i);
            }
        }
        for (const tUnassigned& resource : topology.unassigned) {
            const auto found = rootOf.find(resource.address);
            if (found == rootOf.end()) {
                headroom.problems.push_back(formatPciAddress(resource.address) + ": " + resource.resource +
                                            " got no space, but the function is on no root bus found");
            } else {
                unassignedByRoot[found->second].push_back(resource);
            }
        }
        for (std::vector<tUnassigned>& list : unassignedByRoot) {
            std::stable_sort(list.begin(), list.end(), [](const tUnassigned& a, const tUnassigned& b) {
                return a.address < b.address;
            });
        }
    }

    std::vector<tBusSet> claimedSets;
    for (std::size_t at = 0; at < order.size(); ++at) {
        const tTopologyRoot* root = &topology.roots[order[at]];
        sortedAt[order[at]] = at;
        tRootBusHeadroom& result = headroom.roots.emplace_back();
        result.segment = root->segment;
        result.bus = root->bus;
        result.name = root->name;
        result.range = root->range;
        result.claimsExact = topology.exact;
        result.exact = topology.exact && (!root->range || root->range->exact);
        tBusSet claimed;
        tBusSet buses;
        claimed.set(root->bus & 0xffu);
        buses.set(root->bus & 0xffu);
        claimWindows(*root, result, claimed, buses);
        std::sort(result.bridges.begin(), result.bridges.end(),
                  [](const tBridgeWindow& a, const tBridgeWindow& b) { return a.address < b.address; });
        claimFunctionBuses(*root, result, claimed, buses);
        checkNesting(*root, result);
        count(result, claimed, buses);
        if (result.outsideRange > 0) {
            result.problems.push_back(std::to_string(result.outsideRange) + " claimed bus number" +
                                      (result.outsideRange == 1 ? " lies" : "s lie") + " outside the range " +
                                      windowText(static_cast<std::uint32_t>(result.range->first),
                                                 static_cast<std::uint32_t>(result.range->last)));
        }
        claimedSets.push_back(claimed);

        tSpaceAnalysis spaces(*root);
        std::map<tPciAddress, const tPciFunction*> byAddress;
        for (const tPciFunction& function : root->functions) {
            byAddress.emplace(function.address, &function);
        }
        for (const auto& [address, function] : byAddress) {
            for (const tBar& bar : function->bars) {
                if (bar.resizableMax) {
                    result.resizable.push_back({address, bar});
                }
            }
        }
        for (tBridgeWindow& bridge : result.bridges) {
            if (const auto function = byAddress.find(bridge.address); function != byAddress.end()) {
                bridge.windows = spaces.bridgeWindows(*function->second);
            }
        }
        for (const auto& [address, function] : byAddress) {
            if (function->bridge && function->windowHidden) {
                result.hiddenPorts.push_back({address, spaces.bridgeWindows(*function)});
            }
        }
        if (root->windows) {
            result.windows = spaces.windowsOf(std::nullopt, *root->windows);
            result.memory = totalsOf(*result.windows, spaces.spacesBelow(std::nullopt));
            spaces.checkPlacement(std::nullopt, *root->windows, result.problems);
        }
        if (topology.addressesRead) {
            for (const auto& [address, function] : byAddress) {
                if (function->bridge) {
                    spaces.checkPlacement(address, function->windows, result.problems);
                }
            }
        }
        for (const tDeviceProblem& device : root->deviceProblems) {
            result.failedDevices.push_back(describeFailure(device, byAddress));
        }
        for (const tUnassigned& resource : unassignedByRoot[order[at]]) {
            tUnassignedHeadroom failed{resource, std::nullopt, std::nullopt};
            const auto function = byAddress.find(resource.address);
            const std::optional<tPciAddress> parent =
                function != byAddress.end() ? function->second->parent : std::nullopt;
            if (parent) {
                failed.bridge = parent;
                if (const auto above = byAddress.find(*parent); above != byAddress.end()) {
                    failed.window = windowFor(resource, spaces.bridgeWindows(*above->second));
                }
            } else if (result.windows) {
                failed.window = windowFor(resource, *result.windows);
            }
            result.unassigned.push_back(std::move(failed));
        }
    }

    // Every index is built once, so that slots cost what they number.
    std::vector<std::optional<tRootIndex>> indexes(order.size());
    std::map<tPciAddress, std::size_t> portRoot;
    for (std::size_t at = 0; at < order.size(); ++at) {
        for (const tPciFunction& function : topology.roots[order[at]].functions) {
            portRoot.emplace(function.address, at);
        }
    }
    const tSlotPlacer placer(headroom.roots, claimedSets);
    for (const tPciSlot& slot : topology.slots) {
        tSlotHeadroom placed;
        placed.name = slot.name;
        placed.segment = slot.segment;
        placed.bus = slot.bus;
        placed.device = slot.device;
        placed.port = slot.port;
        placed.hotplug = slot.hotplug;
        std::optional<std::size_t> at;
        if (slot.root && *slot.root < sortedAt.size()) {
            at = sortedAt[*slot.root];
        } else if (const auto port = slot.port ? portRoot.find(*slot.port) : portRoot.end(); port != portRoot.end()) {
            at = port->second;
        } else if (slot.bus) {
            at = placer.place(slot.segment, *slot.bus);
        }
        if (!at) {
            headroom.unplacedSlots.push_back(std::move(placed));
            continue;
        }
        if (!indexes[*at]) {
            indexes[*at] = indexRoot(topology.roots[order[*at]], headroom.roots[*at]);
        }
        describeSlot(headroom.roots[*at], *indexes[*at], slot, placed);
        headroom.roots[*at].slots.push_back(std::move(placed));
    }
    for (tRootBusHeadroom& root : headroom.roots) {
        std::stable_sort(root.slots.begin(), root.slots.end(),
                         [](const tSlotHeadroom& a, const tSlotHeadroom& b) { return a.name < b.name; });
    }
    std::stable_sort(headroom.unplacedSlots.begin(), headroom.unplacedSlots.end(),
                     [](const tSlotHeadroom& a, const tSlotHeadroom& b) { return a.name < b.name; });
    advise(headroom);
    return headroom;
}

}  // namespace nROOTSCOPE_1_0

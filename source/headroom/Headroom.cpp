// SPDX-License-Identifier: MIT
#include "Headroom.h"

#include <algorithm>
#include <bitset>
#include <cstdio>
#include <map>
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
            result.bridges.push_back({function.address, *function.secondary, *function.subordinate, function.inferred});
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
// bridges side by side must not overlap.
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
        std::sort(group.begin(), group.end(),
                  [](const tBridgeWindow* a, const tBridgeWindow* b) { return a->secondary < b->secondary; });
        for (std::size_t i = 1; i < group.size(); ++i) {
            if (group[i]->secondary <= group[i - 1]->subordinate) {
                result.problems.push_back(
                    "windows " + windowText(group[i - 1]->secondary, group[i - 1]->subordinate) + " of " +
                    formatPciAddress(group[i - 1]->address) + " and " +
                    windowText(group[i]->secondary, group[i]->subordinate) + " of " +
                    formatPciAddress(group[i]->address) + " overlap");
            }
        }
    }
}

void count(tRootBusHeadroom& result, const tBusSet& claimed, const tBusSet& buses) {
    result.claimed = static_cast<std::uint32_t>(claimed.count());
    result.buses = static_cast<std::uint32_t>(buses.count());
    result.reserved = result.claimed - result.buses;
    const bool ranged = result.range.has_value();
    const std::uint32_t first = ranged ? result.range->first : 0;
    const std::uint32_t last = ranged ? result.range->last : 0xff;
    std::uint32_t free = 0;
    std::uint32_t run = 0;
    std::uint32_t longest = 0;
    for (std::uint32_t n = 0; n < 256; ++n) {
        const bool inside = n >= first && n <= last;
        if (buses.test(n)) {
            result.uses[n] = tBusUse::kBus;
        } else if (claimed.test(n)) {
            result.uses[n] = tBusUse::kReserved;
        } else {
            result.uses[n] = inside ? tBusUse::kFree : tBusUse::kOutside;
        }
        if (claimed.test(n) && !inside) {
            ++result.outsideRange;
        }
        const bool isFree = inside && !claimed.test(n);
        free += isFree ? 1 : 0;
        run = isFree ? run + 1 : 0;
        if (run > longest) {
            longest = run;
            result.largestFreeRunStart = n + 1 - run;
        }
    }
    if (ranged) {
        result.free = free;
        result.largestFreeRun = longest;
    } else {
        result.outsideRange = 0;  // no range, nothing lies outside it
    }
}

// The root bus a slot belongs to: the one its port is below; else the one
// that claims its bus, else the one whose range holds it, else the nearest
// below it in its segment.
std::size_t placeSlot(const std::vector<tRootBusHeadroom>& roots, const std::vector<tBusSet>& claimed,
                      const std::vector<const tTopologyRoot*>& topologyRoots, const tPciSlot& slot) {
    if (slot.port) {
        for (std::size_t i = 0; i < roots.size(); ++i) {
            for (const tPciFunction& function : topologyRoots[i]->functions) {
                if (function.address == *slot.port) {
                    return i;
                }
            }
        }
    }
    if (!slot.bus || *slot.bus > 0xff) {
        return roots.size();
    }
    const std::uint32_t bus = *slot.bus;
    std::size_t byRange = roots.size();
    std::size_t below = roots.size();
    for (std::size_t i = 0; i < roots.size(); ++i) {
        const tRootBusHeadroom& root = roots[i];
        if (root.segment != slot.segment) {
            continue;
        }
        if (claimed[i].test(bus)) {
            return i;
        }
        if (root.range && bus >= root.range->first && bus <= root.range->last && byRange == roots.size()) {
            byRange = i;
        }
        if (root.bus <= bus) {
            below = i;  // roots are in bus order: the last one wins
        }
    }
    return byRange != roots.size() ? byRange : below;
}

}  // namespace

tHeadroom analyseHeadroom(const tTopology& topology) {
    tHeadroom headroom;
    headroom.exact = topology.exact;
    headroom.problems = topology.problems;

    std::vector<const tTopologyRoot*> roots;
    for (const tTopologyRoot& root : topology.roots) {
        roots.push_back(&root);
    }
    std::sort(roots.begin(), roots.end(), [](const tTopologyRoot* a, const tTopologyRoot* b) {
        return std::pair(a->segment, a->bus) < std::pair(b->segment, b->bus);
    });

    std::vector<tBusSet> claimedSets;
    std::vector<std::vector<const tPciFunction*>> functionsByRoot;
    for (const tTopologyRoot* root : roots) {
        tRootBusHeadroom& result = headroom.roots.emplace_back();
        result.segment = root->segment;
        result.bus = root->bus;
        result.range = root->range;
        result.exact = topology.exact;
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
                                      windowText(result.range->first, result.range->last));
        }
        claimedSets.push_back(claimed);
    }

    for (const tPciSlot& slot : topology.slots) {
        tSlotHeadroom placed{slot.name, slot.segment, slot.bus, slot.port, slot.hotplug, false, std::nullopt, false};
        const std::size_t at = placeSlot(headroom.roots, claimedSets, roots, slot);
        if (at == headroom.roots.size()) {
            headroom.unplacedSlots.push_back(std::move(placed));
            continue;
        }
        tRootBusHeadroom& root = headroom.roots[at];
        for (const tBridgeWindow& bridge : root.bridges) {
            const bool drives = slot.port ? bridge.address == *slot.port : bridge.secondary == *slot.bus;
            if (drives) {
                placed.port = bridge.address;
                placed.bus = bridge.secondary;
                placed.window = bridge.subordinate - bridge.secondary + 1;
                placed.windowInferred = bridge.inferred;
                break;
            }
        }
        for (const tPciFunction& function : roots[at]->functions) {
            placed.occupied = placed.occupied || (placed.bus && function.address.bus == *placed.bus) ||
                              (slot.port && function.parent == slot.port);
        }
        root.slots.push_back(std::move(placed));
    }
    for (tRootBusHeadroom& root : headroom.roots) {
        std::sort(root.slots.begin(), root.slots.end(),
                  [](const tSlotHeadroom& a, const tSlotHeadroom& b) { return a.name < b.name; });
    }
    std::sort(headroom.unplacedSlots.begin(), headroom.unplacedSlots.end(),
              [](const tSlotHeadroom& a, const tSlotHeadroom& b) { return a.name < b.name; });
    return headroom;
}

}  // namespace nROOTSCOPE_1_0

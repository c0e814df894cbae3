// SPDX-License-Identifier: MIT
// The headroom analysis as a table of small topologies, the two programs'
// agreement on every sysroot golden, and what the views say where the
// goldens cannot reach.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "FaultyOpens.h"
#include "Headroom.h"
#include "HeadroomReport.h"
#include "LinuxHostReader.h"
#include "LinuxTopologyReader.h"
#include "OpenDescriptors.h"

namespace nROOTSCOPE_1_0 {
namespace {

tPciFunction function(std::uint32_t bus, std::uint32_t device, std::optional<tPciAddress> parent = std::nullopt) {
    tPciFunction f;
    f.address = {0, bus, device, 0};
    f.parent = parent;
    return f;
}

tPciFunction bridge(std::uint32_t bus, std::uint32_t device, std::optional<std::uint32_t> secondary,
                    std::optional<std::uint32_t> subordinate, std::optional<tPciAddress> parent = std::nullopt) {
    tPciFunction f = function(bus, device, parent);
    f.bridge = true;
    f.secondary = secondary;
    f.subordinate = subordinate;
    return f;
}

tTopologyRoot rootBus(std::uint32_t segment, std::uint32_t bus, std::optional<tWindow> range,
                      std::vector<tPciFunction> functions, std::string name = {}) {
    tTopologyRoot root;
    root.segment = segment;
    root.bus = bus;
    root.range = range;
    root.functions = std::move(functions);
    root.name = std::move(name);
    return root;
}

tTopology oneRoot(std::optional<tWindow> range, std::vector<tPciFunction> functions) {
    tTopology topology;
    topology.roots.push_back(rootBus(0, 0, range, std::move(functions)));
    return topology;
}

// The view with its lines joined again, so that a phrase is found wherever
// the wrapping broke it.
std::string flatView(const tTopology& topology, bool kernelLogClosed);

// "claimed/buses/reserved free@run-start outside problems"
std::string summary(const tRootBusHeadroom& r) {
    return std::to_string(r.claimed) + "/" + std::to_string(r.buses) + "/" + std::to_string(r.reserved) + " " +
           (r.free ? std::to_string(*r.free) + "@" + std::to_string(*r.largestFreeRun) + "-" +
                         std::to_string(r.largestFreeRunStart)
                   : "?") +
           " " + std::to_string(r.outsideRange) + " " + std::to_string(r.problems.size());
}

struct tCase {
    const char* what;
    tTopology topology;
    std::string expected;
};

TEST(Headroom, CountsEachRootBusFromItsWindowsAndFunctions) {
    const tWindow to3f = busRange(0, 0x3f, tWindowOrigin::kKernelLog);
    const tWindow toff = busRange(0, 0xff, tWindowOrigin::kEcam);
    const tPciAddress port{0, 0, 0x1c, 0};
    tPciFunction virtualFunction = function(2, 0, port);
    virtualFunction.virtualFunction = true;
    const tCase cases[] = {
        {"a root bus alone", oneRoot(to3f, {}), "1/1/0 63@63-1 0 0"},
        {"an empty port padded for hot-plug", oneRoot(toff, {bridge(0, 0x1c, 1, 16)}), "17/2/15 239@239-17 0 0"},
        {"a switch below a port", oneRoot(to3f, {bridge(0, 0x1c, 1, 4), bridge(1, 0, 2, 4, port),
                                                 bridge(2, 0, 3, 3, tPciAddress{0, 1, 0, 0}), function(3, 0)}),
         "5/4/1 59@59-5 0 0"},
        {"windows that cannot be", oneRoot(to3f, {bridge(0, 1, 0, 0), bridge(0, 2, 5, 4), bridge(0, 3, std::nullopt, 4),
                                                 bridge(0, 4, 3, std::nullopt)}),
         "1/1/0 63@63-1 0 4"},
        {"no range", oneRoot(std::nullopt, {bridge(0, 0x1c, 1, 2)}), "3/2/1 ? 0 0"},
        {"a window past the range's end", oneRoot(busRange(0, 3, tWindowOrigin::kKernelLog), {bridge(0, 0x1c, 2, 5)}),
         "5/2/3 1@1-1 2 1"},
        {"the longest run, not the first", oneRoot(to3f, {bridge(0, 1, 2, 2), bridge(0, 2, 8, 8)}), "3/3/0 61@55-9 0 0"},
        {"a virtual bus beside its physical function's", oneRoot(to3f, {bridge(0, 0x1c, 1, 2), function(1, 0, port),
                                                                       virtualFunction}),
         "3/3/0 61@61-3 0 0"},
        {"a bus no bridge leads to", oneRoot(to3f, {function(7, 0), function(7, 1)}), "2/2/0 62@56-8 0 1"},
        {"a window outside its parent's, and siblings that overlap",
         oneRoot(to3f, {bridge(0, 0x1c, 1, 3), bridge(1, 0, 4, 4, port), bridge(0, 0x1d, 3, 3)}),
         "5/4/1 59@59-5 0 2"},
        {"one wide window over two of its siblings: both overlaps named",
         oneRoot(to3f, {bridge(0, 0x1c, 1, 0x10), bridge(0, 0x1d, 2, 3), bridge(0, 0x1e, 5, 6)}),
         "17/4/13 47@47-17 0 2"},
    };
    for (const tCase& c : cases) {
        const tHeadroom headroom = analyseHeadroom(c.topology);
        ASSERT_EQ(headroom.roots.size(), 1u) << c.what;
        EXPECT_EQ(summary(headroom.roots[0]), c.expected) << c.what;
    }
}

TEST(Headroom, PlacesSlotsOnTheirRootBusesWithTheirPorts) {
    tTopology topology;
    topology.roots.push_back(rootBus(1, 0x80, busRange(0x80, 0xff, tWindowOrigin::kKernelLog),
                                     {bridge(0x80, 2, 0x81, 0x83), function(0x81, 0)}));
    topology.roots.back().functions[0].address.domain = 1;
    topology.roots.back().functions[1].address.domain = 1;
    topology.roots.push_back(rootBus(0, 0, busRange(0, 0x7f, tWindowOrigin::kKernelLog), {}));
    topology.slots = {{"9", 1, 0x81, std::nullopt, true, {}, {}},
                      {"10", 1, 0x90, std::nullopt, false, {}, {}},
                      {"2", 0, 0x00, std::nullopt, false, {}, {}},
                      {"x", 3, 0, std::nullopt, true, {}, {}}};
    const tHeadroom headroom = analyseHeadroom(topology);
    ASSERT_EQ(headroom.roots.size(), 2u);
    EXPECT_EQ(headroom.roots[0].segment, 0u);  // (segment, bus) order
    ASSERT_EQ(headroom.roots[0].slots.size(), 1u);
    EXPECT_EQ(headroom.roots[0].slots[0].name, "2");
    EXPECT_FALSE(headroom.roots[0].slots[0].port.has_value());
    const std::vector<tSlotHeadroom>& slots = headroom.roots[1].slots;
    ASSERT_EQ(slots.size(), 2u);
    EXPECT_EQ(slots[0].name, "10");  // name order
    EXPECT_FALSE(slots[0].port.has_value());
    EXPECT_FALSE(slots[0].window.has_value());
    EXPECT_EQ(slots[1].name, "9");
    ASSERT_TRUE(slots[1].port.has_value());
    EXPECT_EQ(formatPciAddress(*slots[1].port), "0001:80:02.0");
    EXPECT_EQ(slots[1].window, 3u);
    EXPECT_TRUE(slots[1].occupied);
    ASSERT_EQ(headroom.unplacedSlots.size(), 1u);
    EXPECT_EQ(headroom.unplacedSlots[0].name, "x");
}

// Where the next chassis goes, as the analysis says it for both outputs:
// "hot SLOT:USABLE" and "cold ROOT-BUS:SLOTS", "-" for none.
std::string adviceOf(const tTopology& topology) {
    const tHeadroom headroom = analyseHeadroom(topology);
    const tAdvice& advice = headroom.advice;
    std::string text = "hot ";
    if (advice.hotSlot) {
        const tSlotHeadroom& slot = headroom.roots[advice.hotSlot->root].slots[advice.hotSlot->slot];
        text += slot.name + ":" + std::to_string(*slot.usable);
    } else {
        text += "-";
    }
    for (const tAdvice::tSlotPick& pick : advice.tooSmall) {
        text += " small " + headroom.roots[pick.root].slots[pick.slot].name;
    }
    text += " cold ";
    if (advice.coldRoot) {
        const tRootBusHeadroom& root = headroom.roots[*advice.coldRoot];
        text += std::to_string(root.bus) + (root.exact ? "" : "~") + ":";
        for (const std::size_t k : advice.coldSlots) {
            text += root.slots[k].name + ",";
        }
    } else {
        text += "-";
    }
    return text;
}

tPciSlot slotAt(const char* name, std::uint32_t bus, std::optional<std::uint32_t> device, bool hotplug) {
    tPciSlot slot;
    slot.name = name;
    slot.bus = bus;
    slot.device = device;
    slot.hotplug = hotplug;
    return slot;
}

TEST(Headroom, AdvisesASlotThatCanTakeAChassis) {
    const tWindow low = busRange(0, 0x7f, tWindowOrigin::kKernelLog);
    const tWindow high = busRange(0x80, 0xff, tWindowOrigin::kKernelLog);
    const auto twoRoots = [&](std::vector<tPciFunction> second, std::vector<tPciSlot> slots) {
        tTopology topology;
        topology.roots.push_back(rootBus(0, 0, low, {function(0, 0)}, "PC00"));
        topology.roots.push_back(rootBus(0, 0x80, high, std::move(second), "PC01"));
        topology.slots = std::move(slots);
        return topology;
    };
    tTopology vm = oneRoot(busRange(0, 0xff, tWindowOrigin::kKernelLog), {function(0, 0), function(0, 3)});
    vm.slots = {slotAt("3", 0, 3, true), slotAt("4", 0, 4, true), slotAt("5", 0, 5, true)};
    tTopology ecam = oneRoot(busRange(0, 0xff, tWindowOrigin::kEcam), {});
    tTopology wholeBus = vm;
    wholeBus.slots = {slotAt("bus", 0, std::nullopt, true)};
    const tCase cases[] = {
        {"hot-plug slots sharing the root bus: only the one with a card is occupied", vm, "hot 4:255 cold 0:4,5,"},
        {"a slot for the whole bus is occupied by any function on it", wholeBus, "hot - cold 0:"},
        {"the root bus with an empty slot before the one with more free numbers",
         twoRoots({function(0x80, 0), bridge(0x80, 1, 0x81, 0x81)}, {slotAt("11", 0x81, 0, false)}),
         "hot - cold 128:11,"},
        {"with no empty slot anywhere, the most free numbers",
         twoRoots({function(0x80, 0), bridge(0x80, 1, 0x81, 0x81), function(0x81, 0)}, {slotAt("11", 0x81, 0, false)}),
         "hot - cold 0:"},
        {"a hot-plug window of 2 is too small, one of 3 is not",
         twoRoots({bridge(0x80, 1, 0x81, 0x82), bridge(0x80, 2, 0x83, 0x85)},
                  {slotAt("a", 0x81, 0, true), slotAt("b", 0x83, 0, true)}),
         "hot b:3 small a cold 128:a,b,"},
        {"the numbers other windows claim are not offered",
         twoRoots({bridge(0x80, 1, 0x81, 0x90), bridge(0x80, 2, 0x82, 0x83), bridge(0x80, 3, 0x85, 0x86)},
                  {slotAt("wide", 0x81, 0, true)}),
         "hot wide:10 cold 128:wide,"},
        {"a range from the ECAM window gives only a bound", ecam, "hot - cold 0~:"},
        {"no root bus with the 3 numbers the smallest chassis needs",
         oneRoot(busRange(0, 2, tWindowOrigin::kKernelLog), {bridge(0, 1, 1, 1)}), "hot - cold -"},
    };
    for (const tCase& c : cases) {
        EXPECT_EQ(adviceOf(c.topology), c.expected) << c.what;
    }
}

tBar bar(const char* name, tResourceKind kind, std::uint64_t first, std::uint64_t size) {
    tBar b;
    b.name = name;
    b.kind = kind;
    b.first = first;
    b.last = first + size - 1;
    return b;
}

tWindow window(tResourceKind kind, std::uint64_t first, std::uint64_t size) {
    tWindow w;
    w.kind = kind;
    w.first = first;
    w.last = first + size - 1;
    return w;
}

// "size/used/reserved/free/largest" of a window, in KiB.
std::string numbers(const tWindowHeadroom& w) {
    return std::to_string(w.size >> 10) + "/" + std::to_string(w.used >> 10) + "/" + std::to_string(w.reserved >> 10) +
           "/" + std::to_string(w.free >> 10) + "/" + std::to_string(w.largestBlock >> 10);
}

// A root bus with a 256 MiB window at 2 GiB and a 64 GiB one at 64 GiB, a
// NIC on it, and a hot-plug port whose memory window holds a card and
// whose prefetchable window is idle.
TEST(Headroom, WorksOutEachAddressWindowFromWhatLiesDirectlyBelowIt) {
    constexpr std::uint64_t kMiB = 1 << 20;
    constexpr std::uint64_t kGiB = kMiB << 10;
    const tPciAddress port{0, 0, 0x1c, 0};
    tPciFunction nic = function(0, 0x1f);
    nic.bars = {bar("BAR 0", tResourceKind::kMemory, 0x80000000, kMiB), bar("BAR 2", tResourceKind::kIo, 0x1000, 0x20)};
    tPciFunction root_port = bridge(0, 0x1c, 1, 1);
    root_port.windows = {window(tResourceKind::kMemory, 0x80100000, 2 * kMiB),
                         window(tResourceKind::kPrefetchable, 64 * kGiB, 16 * kGiB),
                         window(tResourceKind::kIo, 0x2000, 0x1000)};
    tPciFunction card = function(1, 0, port);
    card.bars = {bar("BAR 0", tResourceKind::kMemory, 0x80100000, kMiB)};
    tTopology topology = oneRoot(busRange(0, 0xff, tWindowOrigin::kKernelLog), {nic, root_port, card});
    topology.roots[0].windows = std::vector<tWindow>{window(tResourceKind::kMemory, 0x80000000, 256 * kMiB),
                                                     window(tResourceKind::kPrefetchable, 64 * kGiB, 64 * kGiB),
                                                     window(tResourceKind::kIo, 0x1000, 0xf000)};
    tUnassigned gpu;
    gpu.address = card.address;
    gpu.resource = "BAR 2";
    gpu.kind = tResourceKind::kPrefetchable;
    gpu.size = 32 * kGiB;
    gpu.is64 = true;
    topology.unassigned = {gpu};
    topology.addressesRead = true;

    const tHeadroom headroom = analyseHeadroom(topology);
    const tRootBusHeadroom& root = headroom.roots[0];
    ASSERT_TRUE(root.windows);
    ASSERT_EQ(root.windows->size(), 3u);  // in address order
    EXPECT_EQ(numbers((*root.windows)[0]), "60/4/4/55/32");  // I/O 0x1000-0xffff: a BAR and a 4 KiB window
    EXPECT_EQ(numbers((*root.windows)[1]), "262144/3072/1024/259072/131072");
    EXPECT_EQ(numbers((*root.windows)[2]), "67108864/16777216/16777216/50331648/33554432");
    ASSERT_EQ(root.bridges.size(), 1u);
    ASSERT_EQ(root.bridges[0].windows.size(), 3u);
    EXPECT_EQ(numbers(root.bridges[0].windows[0]), "4/0/0/4/4");
    EXPECT_EQ(numbers(root.bridges[0].windows[1]), "2048/1024/0/1024/1024");
    EXPECT_EQ(numbers(root.bridges[0].windows[2]), "16777216/0/0/16777216/16777216");
    ASSERT_TRUE(root.memory);
    EXPECT_EQ(root.memory->below4g.size, 256 * kMiB);
    EXPECT_EQ(root.memory->below4g.free, 253 * kMiB);
    EXPECT_EQ(root.memory->above4g.largestBlock, 32 * kGiB);
    EXPECT_EQ(root.memory->io.used, std::uint64_t{0x1020});
    ASSERT_EQ(root.unassigned.size(), 1u);
    ASSERT_TRUE(root.unassigned[0].window);
    EXPECT_EQ(root.unassigned[0].window->window.kind, tResourceKind::kPrefetchable);  // the port's, 16 GiB
    EXPECT_EQ(root.unassigned[0].window->largestBlock, 16 * kGiB);

    const std::string view = flatView(topology, false);
    EXPECT_NE(view.find("0000:01:00.0 BAR 2 (prefetchable, 64-bit, 32 GiB): the bridge 0000:00:1c.0's "
                        "prefetchable window has at most 16 GiB in one block."),
              std::string::npos)
        << view;
    // A window straddling 4 GiB counts on both sides; none above it is said.
    topology.roots[0].windows = std::vector<tWindow>{window(tResourceKind::kMemory, 3 * kGiB, 2 * kGiB)};
    topology.unassigned.clear();
    const tHeadroom straddling = analyseHeadroom(topology);
    EXPECT_EQ(straddling.roots[0].memory->below4g.size, kGiB);
    EXPECT_EQ(straddling.roots[0].memory->above4g.size, kGiB);
    topology.roots[0].windows = std::vector<tWindow>{window(tResourceKind::kMemory, 3 * kGiB, kGiB)};
    EXPECT_NE(flatView(topology, false).find("No memory window lies above 4 GiB"), std::string::npos);
}

// Bridges that name each other as parent (a tree no reader gives, but a
// fixture may): each window is worked out once, nothing counted twice, no
// endless walk; and a window too wide for 64 bits is left out.
TEST(Headroom, WindowsNestingInALoopEndTheirWalk) {
    const tPciAddress a{0, 1, 0, 0};
    const tPciAddress b{0, 2, 0, 0};
    tPciFunction first = bridge(1, 0, 2, 2, b);
    first.windows = {window(tResourceKind::kMemory, 0x80000000, 0x200000)};
    tPciFunction second = bridge(2, 0, 3, 3, a);
    second.windows = {window(tResourceKind::kMemory, 0x80000000, 0x100000)};
    tTopology topology = oneRoot(busRange(0, 0xff, tWindowOrigin::kKernelLog), {first, second});
    tWindow whole = window(tResourceKind::kMemory, 0, 1);
    whole.last = ~std::uint64_t{0};
    topology.roots[0].windows = std::vector<tWindow>{whole, window(tResourceKind::kMemory, 0x80000000, 0x400000)};
    topology.addressesRead = true;
    const tHeadroom headroom = analyseHeadroom(topology);
    ASSERT_EQ(headroom.roots[0].bridges.size(), 2u);
    EXPECT_EQ(numbers(headroom.roots[0].bridges[0].windows[0]), "2048/1024/0/1024/1024");
    EXPECT_EQ(numbers(headroom.roots[0].bridges[1].windows[0]), "1024/1024/0/0/0");
    ASSERT_TRUE(headroom.roots[0].windows);
    EXPECT_EQ(headroom.roots[0].windows->size(), 1u);
}

// Every sysroot golden, hostile ones included, read by both programs: where
// rootscope reads a range for a root bus, rootscope-headroom reads the same.
TEST(Headroom, AgreesWithRootscopeOnEveryRangeOfEverySysroot) {
    int compared = 0;
    for (const auto& entry : std::filesystem::directory_iterator(ROOTSCOPE_SYSROOTS_DIR)) {
        if (!entry.is_directory()) {
            continue;
        }
        const std::string root = entry.path().string();
        tDeviceTable table;
        tReadFailure failure;
        const bool surveyed = readLinuxDeviceTable(root, table, failure);
        tTopology topology;
        EXPECT_EQ(readLinuxTopology(root, topology, failure), surveyed) << root << ": " << failure.describe();
        if (!surveyed) {
            continue;
        }
        tSysroot sysroot(root);
        ASSERT_TRUE(sysroot.open(failure));
        std::vector<tAcpiHostBridge> bridges;
        tDeviceTable nodes;
        ASSERT_TRUE(readAcpiNodes(sysroot, nodes, bridges, failure));
        std::map<std::pair<std::uint32_t, std::uint32_t>, std::optional<tWindow>> ranges;
        for (const tTopologyRoot& r : topology.roots) {
            ranges[{r.segment, r.bus}] = r.range;
        }
        for (const tAcpiHostBridge& bridge : bridges) {
            const auto found = ranges.find({bridge.bus.domain, bridge.bus.bus});
            ASSERT_NE(found, ranges.end()) << root << ": headroom has no root bus " << bridge.bus.bus;
            const std::vector<tDeviceDescriptor>& config = table[bridge.node].bootConfig->descriptors;
            ASSERT_EQ(found->second.has_value(), !config.empty()) << root;
            if (found->second) {
                EXPECT_EQ(found->second->first, config[0].base) << root;
                EXPECT_EQ(found->second->last, config[0].end) << root;
                ++compared;
            }
        }
    }
    EXPECT_GE(compared, 20);
}

std::string flatView(const tTopology& topology, bool kernelLogClosed) {
    std::string view = headroomView(analyseHeadroom(topology), kernelLogClosed);
    std::string flat;
    for (std::size_t i = 0; i < view.size(); ++i) {
        if (view[i] == '\n') {
            while (i + 1 < view.size() && view[i + 1] == ' ') {
                ++i;
            }
            flat += ' ';
        } else {
            flat += view[i];
        }
    }
    return flat;
}

// Each call of the reading that finds or opens a file fails in turn: each
// time the machine cannot be read, the failure names a file under the root
// and the error, and nothing opened is left open; never a partial topology
// taken as whole, nor a function that cannot be looked at as no virtual one.
// The machines between them reach every kind of file the reader reads.
TEST(LinuxTopologyReader, FailsWhenAnyOneFileCallFailsAndNamesIt) {
    std::set<std::string> named;
    // A laptop with hot-plug slots; virtual functions, whose physfn links
    // are stat'ed and followed; ranges from /proc/iomem alone; resizable
    // BARs; every resource layout; config bytes of old kernels.
    for (const char* machine : {"laptop_thunderbolt", "sriov_virtual_bus", "ecam_range_only", "desktop_rebar",
                                "resource_layouts", "kernel_before_4_13"}) {
        SCOPED_TRACE(machine);
        const std::string root = std::string(ROOTSCOPE_HEADROOM_DIR) + "/" + machine;
        const tFileCallCounts calls = failEachCallInTurn(
            [&](tReadFailure& failure) {
                tTopology topology;
                return readLinuxTopology(root, topology, failure);
            },
            [&](const std::string& path) {
                named.insert(path.substr(path.rfind('/') + 1));
                return path.starts_with(root + "/");
            });
        EXPECT_GT(calls.opens, 20);
        EXPECT_GT(calls.stats, calls.opens);
        EXPECT_GT(calls.linkReads, 0);
    }
    for (const char* file : {"resource", "resource0_resize", "config", "class", "kmsg", "iomem", "ioports", "physfn"}) {
        EXPECT_EQ(named.count(file), 1u) << file << " is never reached";
    }
}

// The resources of a machine in one line each: the root windows and where
// they came from, the bridge windows by origin, the BARs, each BAR's
// largest resizable size, and what got no space.
std::string resourcesOf(const tTopology& topology) {
    const auto hex = [](std::uint64_t value) {
        char text[24];
        std::snprintf(text, sizeof text, "%llx", static_cast<unsigned long long>(value));
        return std::string(text);
    };
    static const char* const kKinds[] = {"bus", "io", "mem", "pref"};
    static const char* const kOrigins[] = {"log", "iomem", "sysfs", "config", "descriptor"};
    std::string text;
    std::map<std::string, int> counts;
    for (const tTopologyRoot& root : topology.roots) {
        text += "root " + root.name + ":";
        if (!root.windows) {
            text += " unknown";
        }
        for (const tWindow& w : root.windows.value_or(std::vector<tWindow>{})) {
            text += std::string(" ") + kKinds[static_cast<int>(w.kind)] + " " + hex(w.first) + "-" + hex(w.last) + " " +
                    kOrigins[static_cast<int>(w.origin)];
        }
        text += "; ";
        for (const tPciFunction& function : root.functions) {
            for (const tWindow& w : function.windows) {
                ++counts[std::string("windows ") + kOrigins[static_cast<int>(w.origin)]];
            }
            for (const tBar& bar : function.bars) {
                ++counts["bars"];
                if (bar.resizableMax) {
                    text += formatPciAddress(function.address) + " " + bar.name + " up to " + hex(*bar.resizableMax) + "; ";
                }
            }
        }
    }
    for (const auto& [what, count] : counts) {
        text += what + " " + std::to_string(count) + "; ";
    }
    for (const tUnassigned& u : topology.unassigned) {
        text += "no space: " + formatPciAddress(u.address) + " " + u.resource + " " + kKinds[static_cast<int>(u.kind)] +
                (u.is64 ? "64 " : " ") + hex(u.size) + "; ";
    }
    return text;
}

TEST(LinuxTopologyReader, ReadsBarsWindowsAndWhatGotNoSpace) {
    const std::pair<const char*, std::string> machines[] = {
        {"thunderbolt_egpu",
         "root PC00: io 0-cf7 log io d00-ffff log mem a0000-bffff log mem 80000000-bfffffff log mem 4000000000-7fffffffff "
         "log; bars 11; windows sysfs 14; no space: 0000:22:00.0 BAR 1 pref64 400000000; "},
        {"desktop_rebar",
         "root PCI0: io 0-3af log io 3e0-cf7 log io d00-ffff log mem a0000-bffff log mem c0000000-dfffffff log mem "
         "f0000000-fcffffff log mem 4000000000-7fffffffff log; 0000:03:00.0 BAR 0 up to 400000000; bars 9; windows "
         "sysfs 11; "},
        {"vmd_domain",  // a host bridge with no ACPI node forwards what it prints without " window"
         "root PC00: io 0-cf7 log io d00-ffff log mem a0000-bffff log mem 40000000-dfffffff log mem "
         "6000000000-7fffffffff log; root : mem 50000000-51ffffff log mem 6002102000-60021fffff log; bars 4; windows "
         "sysfs 1; "},
        {"vm_hotplug_slots",  // the configuration window is the bridge's own
         "root PCI0: io 0-cf7 log io d00-ffff log mem a0000-bffff log mem c0000000-febfffff log mem 800000000-fffffffff "
         "log; bars 6; "},
        {"sriov_virtual_bus",  // the virtual functions' BARs are counted in their physical function's
         "root PC00: io 0-cf7 log io d00-ffff log mem 80000000-dfffffff log mem 6000000000-7fffffffff log; bars 4; "
         "windows sysfs 1; "},
        {"kernel_before_4_13",  // 18 lines, old flags, a CardBus bridge, a bridge not scanned behind
         "root PCI0: io 0-cf7 iomem io d00-ffff iomem mem a0000-bffff iomem mem c0000000-dfffffff iomem mem "
         "f0000000-febfffff iomem; bars 4; windows config 1; windows sysfs 9; "},
        {"resource_layouts",  // 7 and 11 lines, root's /proc with the configuration window left out
         "root PCI0: io 0-cf7 iomem io d00-ffff iomem mem a0000-bffff iomem mem c0000000-febfffff iomem mem "
         "800000000-fffffffff iomem; bars 5; windows config 3; windows sysfs 4; "},
        {"kernel_log_closed", "root PC00: unknown; bars 1; windows sysfs 4; "},
        {"old_format_failures",
         "root PC00: io 0-cf7 log io d00-ffff log mem a0000-bffff log mem fe000000-febfffff log; bars 5; windows sysfs "
         "2; no space: 0000:00:1c.0 bridge window mem 200000; no space: 0000:00:1c.0 bridge window pref64 200000; no "
         "space: 0000:04:00.0 VF BAR 0 mem64 100000; no space: 0000:04:00.0 VF BAR 3 mem64 100000; no space: "
         "0000:05:00.0 BAR 0 mem64 4000; "},
    };
    for (const auto& [machine, expected] : machines) {
        tTopology topology;
        tReadFailure failure;
        ASSERT_TRUE(readLinuxTopology(std::string(ROOTSCOPE_HEADROOM_DIR) + "/" + machine, topology, failure))
            << failure.describe();
        EXPECT_EQ(resourcesOf(topology), expected) << machine;
    }
}

// Reads a hand-made machine whose kernel log opens with `error`, as a log
// closed to the user does (EPERM, EACCES); false, said, when it fails.
::testing::AssertionResult readWithKernelLogClosed(const char* machine, int error, tTopology& topology) {
    tFaultyOpens faults;
    faults.failPath = "dev/kmsg";
    faults.error = error;
    tFaultyOpensScope scope(faults);
    tReadFailure failure;
    if (!readLinuxTopology(std::string(ROOTSCOPE_HEADROOM_DIR) + "/" + machine, topology, failure)) {
        return ::testing::AssertionFailure() << failure.describe();
    }
    return ::testing::AssertionSuccess();
}

// Closed to the user, the kernel log gives neither root windows nor
// failures; the ports' windows, from files any user reads, stay exact.
TEST(LinuxTopologyReader, KnowsNoRootWindowsWhenTheKernelLogIsClosed) {
    tTopology topology;
    ASSERT_TRUE(readWithKernelLogClosed("thunderbolt_egpu", EPERM, topology));
    EXPECT_TRUE(topology.kernelLogClosed);
    EXPECT_EQ(resourcesOf(topology), "root PC00: unknown; bars 11; windows sysfs 14; ");
}

// A resource file of 10 MiB is refused after the bytes no kernel exceeds,
// not read whole.
TEST(LinuxTopologyReader, RefusesAHugeResourceFileWithoutReadingIt) {
    const std::filesystem::path copy = std::filesystem::path(::testing::TempDir()) / "huge_resource_file";
    std::filesystem::remove_all(copy);
    std::filesystem::copy(std::string(ROOTSCOPE_HEADROOM_DIR) + "/desktop_rebar", copy,
                          std::filesystem::copy_options::recursive | std::filesystem::copy_options::copy_symlinks);
    std::ofstream(copy / "sys/devices/pci0000:00/0000:00:01.2/0000:04:00.0/resource") << std::string(10 << 20, '0');
    struct tCounted {
        static int openAt(int dir, const char* path, int flags, void*) { return ::openat(dir, path, flags); }
        static int statAt(int dir, const char* path, struct stat* info, int flags, void*) {
            return ::fstatat(dir, path, info, flags);
        }
        static long readLinkAt(int dir, const char* path, char* buffer, std::size_t size, void*) {
            return static_cast<long>(::readlinkat(dir, path, buffer, size));
        }
        static long read(int fd, void* buffer, std::size_t size, void* context) {
            const long got = static_cast<long>(::read(fd, buffer, size));
            *static_cast<std::size_t*>(context) += got > 0 ? static_cast<std::size_t>(got) : 0;
            return got;
        }
    };
    std::size_t bytes = 0;
    const tFileCalls calls{tCounted::openAt, tCounted::read, tCounted::statAt, tCounted::readLinkAt, &bytes};
    const tFileCalls* previous = useFileCalls(&calls);
    tTopology topology;
    tReadFailure failure;
    const bool read = readLinuxTopology(copy.string(), topology, failure);
    useFileCalls(previous);
    std::filesystem::remove_all(copy);
    ASSERT_TRUE(read) << failure.describe();
    EXPECT_LT(bytes, std::size_t{64} << 10);
    ASSERT_EQ(topology.problems.size(), 1u);
    EXPECT_EQ(topology.problems[0],
              "0000:04:00.0: its resource file is refused: it is not a regular file of at most 1026 bytes");
}

// A kernel log closed to the user (EACCES, as kernel.dmesg_restrict gives
// it) is no failure: the ranges come from the ECAM window, and the view
// says that root would see the firmware's own.
TEST(LinuxTopologyReader, TakesAKernelLogClosedToTheUserForTheEcamWindow) {
    tTopology topology;
    ASSERT_TRUE(readWithKernelLogClosed("laptop_thunderbolt", EACCES, topology));
    EXPECT_TRUE(topology.kernelLogClosed);
    ASSERT_EQ(topology.roots.size(), 1u);
    ASSERT_TRUE(topology.roots[0].range);
    EXPECT_EQ(topology.roots[0].range->origin, tWindowOrigin::kEcam);
    const std::string view = flatView(topology, topology.kernelLogClosed);
    EXPECT_NE(view.find("closed to this user. Run as root"), std::string::npos) << view;
    EXPECT_NE(view.find("Memory and I/O windows: unknown; only the kernel log, closed to this user, and /proc/iomem "
                        "as root give the root bus's own."),
              std::string::npos)
        << view;
}

TEST(HeadroomReport, SaysWhereARangeComesFromAndWhatIsOnlyABound) {
    tTopology topology = oneRoot(busRange(0, 0xff, tWindowOrigin::kEcam), {bridge(0, 0x1c, 1, 2)});
    EXPECT_NE(flatView(topology, true).find("the ECAM window, since the kernel log is closed to this user. Run as "
                                            "root for the firmware's own range"),
              std::string::npos);
    EXPECT_NE(flatView(topology, false).find("the ECAM window; the kernel log names no range for this root bus"),
              std::string::npos);
    topology.exact = false;
    const std::string view = flatView(topology, false);
    EXPECT_NE(view.find("At least 3 bus numbers claimed: at least 2 buses"), std::string::npos) << view;
    EXPECT_NE(view.find("At most 253 free, the longest run at most 253"), std::string::npos) << view;
}

TEST(HeadroomReport, KeepsTheJsonValidWhateverANameHolds) {
    tTopology topology = oneRoot(std::nullopt, {});
    topology.slots = {{"a\"b\\c\n\x01\x7f\xc3\xa9\xff\xe2\x82", 0, 0, std::nullopt, true, {}, {}}};
    const std::string json = headroomJson(analyseHeadroom(topology));
    EXPECT_NE(json.find(R"("name": "a\"b\\c\u000a\u0001\u007f)" "\xc3\xa9" R"(\ufffd\ufffd\ufffd")"),
              std::string::npos)
        << json;
    EXPECT_NE(json.find(R"("range": null)"), std::string::npos);
    EXPECT_NE(json.find(R"("free": null)"), std::string::npos);
}

// The samples of `metrics` whose line starts with `prefix`, in order.
std::vector<std::string> samples(const std::string& metrics, const std::string& prefix) {
    std::vector<std::string> found;
    for (std::size_t at = 0; at < metrics.size();) {
        const std::size_t end = metrics.find('\n', at);
        const std::string line = metrics.substr(at, end - at);
        if (line.compare(0, prefix.size(), prefix) == 0) {
            found.push_back(line);
        }
        at = end == std::string::npos ? metrics.size() : end + 1;
    }
    return found;
}

TEST(HeadroomReport, GivesEachSeriesOnceWithItsLabelsEscaped) {
    // An empty hot-plug slot on the root bus itself, whose name needs every
    // escape and holds bytes that are not UTF-8; two slots of one name,
    // which no label tells apart; two root buses numbered alike elsewhere.
    tTopology topology = oneRoot(busRange(0, 0x3f, tWindowOrigin::kKernelLog), {bridge(0, 0x1c, 1, 2)});
    topology.roots.push_back(rootBus(1, 0x80, busRange(0x80, 0x8f, tWindowOrigin::kKernelLog), {}));
    topology.roots.push_back(rootBus(1, 0x80, std::nullopt, {}));
    topology.slots = {{"a\"b\\c\nd\xc3\xa9\xff", 0, 0, std::nullopt, true, 0x1f, 0},
                      {"twin", 0, 0, std::nullopt, true, 0x1f, 0},
                      {"twin", 0, 0, std::nullopt, true, 0x1f, 0}};
    const std::string metrics = headroomMetrics(analyseHeadroom(topology));
    EXPECT_EQ(samples(metrics, "rootscope_slot_bus_numbers"),
              std::vector<std::string>{"rootscope_slot_bus_numbers{segment=\"0\",bus=\"00\",slot=\"a\\\"b\\\\c\\nd"
                                       "\xc3\xa9\xef\xbf\xbd\"} 61"})
        << metrics;
    EXPECT_EQ(samples(metrics, "rootscope_bus_numbers"),
              (std::vector<std::string>{R"(rootscope_bus_numbers{segment="0",bus="00",state="claimed"} 3)",
                                        R"(rootscope_bus_numbers{segment="0",bus="00",state="in_use"} 2)",
                                        R"(rootscope_bus_numbers{segment="0",bus="00",state="reserved"} 1)",
                                        R"(rootscope_bus_numbers{segment="0",bus="00",state="free"} 61)"}))
        << metrics;
    // Windows were not read: no window gauge, not one at 0.
    EXPECT_EQ(metrics.find("rootscope_memory"), std::string::npos) << metrics;
    EXPECT_EQ(metrics.find("rootscope_unassigned"), std::string::npos) << metrics;
    EXPECT_EQ(samples(metrics, "# TYPE rootscope_headroom_read_success").size(), 1u);
    EXPECT_EQ(headroomMetricsUnread(), "# HELP rootscope_headroom_read_success 1 when the machine's PCI tree was "
                                       "read, 0 when it could not be.\n"
                                       "# TYPE rootscope_headroom_read_success gauge\n"
                                       "rootscope_headroom_read_success 0\n");
}

}  // namespace
}  // namespace nROOTSCOPE_1_0

// SPDX-License-Identifier: MIT
// rootscope-headroom's reading and analysis over generated sysroots of
// 1,000 and 10,000 PCI functions: its cost per function must not grow with
// the tree. Two machines, as many segments as each takes, every root bus
// with its ACPI node and kernel-log line:
//
// - headroom/sysfs/N: each segment one root bus with 32 root ports, each
//   port leading to a bus of one eight-function device, as a server's
//   segment full of NICs is: 288 functions a segment, a slot per port. Its
//   kernel log has the root bus's windows and, for each port, a window that
//   failed to assign and then was assigned; every function its resource
//   file;
// - headroom/slots/N: each segment one root bus of 255 bridges, each
//   leading to a bus of 32 single-function devices, each device in a slot
//   of its own ("DDDD:BB:dd"): 8,415 functions a segment, nearly as many
//   slots. Its analysis and views only are timed (see slotsBenchmark).
//
// Each sysroot is written once, to /dev/shm where there is one, and removed
// at exit.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <utility>

#include "GeneratedTree.h"
#include "Headroom.h"
#include "HeadroomReport.h"
#include "LinuxTopologyReader.h"

namespace nROOTSCOPE_1_0 {
namespace {

constexpr unsigned kPortsPerSegment = 32;
constexpr unsigned kFunctionsPerDevice = 8;
constexpr unsigned kDevicesPerBus = 32;

std::string address(unsigned segment, unsigned bus, unsigned device, unsigned function) {
    char text[32];
    std::snprintf(text, sizeof text, "%04x:%02x:%02x.%x", segment, bus, device, function);
    return text;
}

enum class tShape { kPorts, kSlots };

// Each segment's root bus forwards 32 MiB below 4 GiB: 1 MiB for each port,
// 16 KiB in it for each function.
std::uint64_t portBase(unsigned segment, unsigned port) {
    return 0x80000000u + (std::uint64_t{segment} << 25) + (std::uint64_t{port} << 20);
}

// A resource file of `lines` lines with line `index` from `first` to `last`.
std::string resourceFile(unsigned lines, unsigned index, std::uint64_t first, std::uint64_t last,
                         std::uint64_t flags) {
    std::string text;
    for (unsigned i = 0; i < lines; ++i) {
        char line[64];
        std::snprintf(line, sizeof line, "0x%016llx 0x%016llx 0x%016llx\n",
                      static_cast<unsigned long long>(i == index ? first : 0),
                      static_cast<unsigned long long>(i == index ? last : 0),
                      static_cast<unsigned long long>(i == index ? flags : 0));
        text += line;
    }
    return text;
}

class tPciSysroot {
public:
    tPciSysroot(std::size_t functions, tShape shape) : tree_("rootscope-pci") { build(functions, shape); }

    const std::string& root() const { return tree_.root(); }
    unsigned segments() const { return segments_; }
    std::size_t slots() const { return slots_; }

private:
    void function(const std::string& parent, const std::string& name, const char* secondary,
                  const std::string& resource) {
        const std::string dir = "sys/devices/" + parent + "/" + name;
        tree_.directory(dir);
        tree_.write(dir + "/class", secondary != nullptr ? "0x060400\n" : "0x020000\n");
        if (secondary != nullptr) {
            tree_.write(dir + "/secondary_bus_number", std::string(secondary) + "\n");
            tree_.write(dir + "/subordinate_bus_number", std::string(secondary) + "\n");
        }
        tree_.write(dir + "/resource", resource);
        tree_.link("../../../devices/" + parent + "/" + name, "sys/bus/pci/devices/" + name);
    }

    void slot(unsigned number, unsigned segment, unsigned bus, unsigned device, bool hotplug) {
        const std::string dir = "sys/bus/pci/slots/" + std::to_string(number);
        tree_.directory(dir);
        char slotAddress[24];
        std::snprintf(slotAddress, sizeof slotAddress, "%04x:%02x:%02x\n", segment, bus, device);
        tree_.write(dir + "/address", slotAddress);
        ++slots_;
        if (hotplug) {
            tree_.write(dir + "/power", "1\n");
        }
    }

    // 32 root ports, each leading to a bus of one eight-function device.
    void ports(const std::string& host, unsigned segment, std::size_t functions, std::size_t& made, std::string& log) {
        char line[160];
        std::snprintf(line, sizeof line, "6,%u,1001,-;pci_bus %04x:00: root bus resource [mem 0x%llx-0x%llx window]\n",
                      segment, segment, static_cast<unsigned long long>(portBase(segment, 0)),
                      static_cast<unsigned long long>(portBase(segment, kPortsPerSegment) - 1));
        log += line;
        for (unsigned port = 0; port < kPortsPerSegment && made < functions; ++port) {
            const std::string portName = address(segment, 0, port, 0);
            const std::uint64_t base = portBase(segment, port);
            function(host, portName, std::to_string(port + 1).c_str(), resourceFile(17, 14, base, base + 0xfffff, 0x200));
            ++made;
            for (const char* event : {"failed to assign", "assigned"}) {
                std::snprintf(line, sizeof line, "6,%u,1002,-;pci %s: bridge window [mem size 0x00100000]: %s\n",
                              segment, portName.c_str(), event);
                log += line;
            }
            slot(segment * 100 + port, segment, port + 1, 0, true);
            for (unsigned f = 0; f < kFunctionsPerDevice && made < functions; ++f, ++made) {
                const std::uint64_t bar = base + (std::uint64_t{f} << 14);
                function(host + "/" + portName, address(segment, port + 1, 0, f), nullptr,
                         resourceFile(13, 0, bar, bar + 0x3fff, 0x140204));
            }
        }
    }

    // 255 bridges on the root bus (32 devices of 8 functions, less one),
    // each leading to a bus of 32 single-function devices, each device in a
    // slot of its own.
    void slotted(const std::string& host, unsigned segment, std::size_t functions, std::size_t& made) {
        for (unsigned bus = 1; bus <= 0xff && made < functions; ++bus) {
            const std::string bridge = address(segment, 0, (bus - 1) / 8, (bus - 1) % 8);
            function(host, bridge, std::to_string(bus).c_str(), resourceFile(17, 14, 0, 0, 0));
            ++made;
            for (unsigned device = 0; device < kDevicesPerBus && made < functions; ++device, ++made) {
                function(host + "/" + bridge, address(segment, bus, device, 0), nullptr, resourceFile(13, 0, 0, 0, 0));
                slot(segment * 10000 + bus * 32 + device, segment, bus, device, false);
            }
        }
    }

    void build(std::size_t functions, tShape shape) {
        for (const char* dir : {"sys/bus/acpi/devices", "sys/bus/pci/devices", "sys/bus/pci/slots",
                                "sys/devices/LNXSYSTM:00/LNXSYBUS:00", "dev", "proc"}) {
            tree_.directory(dir);
        }
        std::string log;
        std::size_t made = 0;
        for (unsigned segment = 0; made < functions; ++segment, ++segments_) {
            char host[16];
            std::snprintf(host, sizeof host, "pci%04x:00", segment);
            tree_.directory(std::string("sys/devices/") + host);
            const std::string entry = "PNP0A08:" + std::to_string(segment);
            const std::string acpi = "sys/devices/LNXSYSTM:00/LNXSYBUS:00/" + entry;
            tree_.directory(acpi);
            tree_.write(acpi + "/hid", "PNP0A08\n");
            tree_.write(acpi + "/uid", std::to_string(segment) + "\n");
            tree_.write(acpi + "/status", "15\n");
            char name[8];
            std::snprintf(name, sizeof name, "S%03x", segment);
            tree_.write(acpi + "/path", std::string("\\_SB_.") + name + "\n");
            tree_.link(std::string("../../../") + host, acpi + "/physical_node");
            tree_.link("../../../devices/LNXSYSTM:00/LNXSYBUS:00/" + entry, "sys/bus/acpi/devices/" + entry);
            char line[128];
            std::snprintf(line, sizeof line, "6,%u,1000,-;ACPI: PCI Root Bridge [%s] (domain %04x [bus 00-ff])\n",
                          segment, name, segment);
            log += line;
            if (shape == tShape::kPorts) {
                ports(host, segment, functions, made, log);
            } else {
                slotted(host, segment, functions, made);
            }
        }
        tree_.write("dev/kmsg", log);
        tree_.write("proc/iomem", "");
    }

    tGeneratedTree tree_;
    unsigned segments_ = 0;
    std::size_t slots_ = 0;
};

const tPciSysroot& sharedSysroot(std::size_t functions, tShape shape) {
    static std::map<std::pair<std::size_t, tShape>, std::unique_ptr<tPciSysroot>> sysroots;
    std::unique_ptr<tPciSysroot>& sysroot = sysroots[{functions, shape}];
    if (!sysroot) {
        sysroot = std::make_unique<tPciSysroot>(functions, shape);
    }
    return *sysroot;
}

// True when the analysis gives every root bus that was made, no problem,
// and every slot under a root bus.
bool analysedAsMade(const tHeadroom& headroom, const tPciSysroot& sysroot) {
    std::size_t placed = 0;
    for (const tRootBusHeadroom& root : headroom.roots) {
        placed += root.slots.size();
    }
    return headroom.roots.size() == sysroot.segments() && headroom.problems.empty() && placed == sysroot.slots();
}

// headroom/sysfs: reading, analysis and both views, as the program runs.
void headroomBenchmark(benchmark::State& state, std::size_t functions) {
    const tPciSysroot& sysroot = sharedSysroot(functions, tShape::kPorts);
    std::size_t length = 0;
    bool sound = true;
    for (auto _ : state) {
        tTopology topology;
        tReadFailure failure;
        sound = readLinuxTopology(sysroot.root(), topology, failure) && sound;
        const tHeadroom headroom = analyseHeadroom(topology);
        const std::string report = headroomView(headroom, false) + headroomJson(headroom);
        length = report.size();
        sound = sound && analysedAsMade(headroom, sysroot) && topology.unassigned.empty() &&
                topology.roots[0].windows && topology.roots[0].functions.back().bars.size() == 1;
        benchmark::DoNotOptimize(length);
    }
    if (!sound) {
        state.SkipWithError("the generated sysroot was not read as it was made");
        return;
    }
    setPerNodeCounter(state, functions);
}

// headroom/slots: the analysis and both views of the machine read once.
// Reading its files costs some 20 microseconds a function whatever the
// tree, which hides an analysis whose cost per slot grows with the tree:
// one that looked at every function of a slot's root bus for each slot
// grew the time per function x1.2 from 1,000 to 10,000 functions end to
// end, under the x1.5 scaling.py allows, and x3 alone.
void slotsBenchmark(benchmark::State& state, std::size_t functions) {
    const tPciSysroot& sysroot = sharedSysroot(functions, tShape::kSlots);
    tTopology topology;
    tReadFailure failure;
    if (!readLinuxTopology(sysroot.root(), topology, failure) || topology.slots.size() != sysroot.slots()) {
        state.SkipWithError(("the generated sysroot was not read as it was made: " + failure.describe()).c_str());
        return;
    }
    std::size_t length = 0;
    bool sound = true;
    for (auto _ : state) {
        const tHeadroom headroom = analyseHeadroom(topology);
        const std::string report = headroomView(headroom, false) + headroomJson(headroom);
        length = report.size();
        sound = sound && analysedAsMade(headroom, sysroot);
        benchmark::DoNotOptimize(length);
    }
    if (!sound) {
        state.SkipWithError("the generated sysroot was not analysed as it was made");
        return;
    }
    setPerNodeCounter(state, functions);
}

}  // namespace

void registerHeadroomBenchmarks() {
    for (const std::size_t functions : {std::size_t{1000}, std::size_t{10000}}) {
        benchmark::RegisterBenchmark(("headroom/sysfs/" + std::to_string(functions)).c_str(), headroomBenchmark,
                                     functions)
            ->Unit(benchmark::kMillisecond);
    }
    for (const std::size_t functions : {std::size_t{1000}, std::size_t{10000}}) {
        benchmark::RegisterBenchmark(("headroom/slots/" + std::to_string(functions)).c_str(), slotsBenchmark,
                                     functions)
            ->Unit(benchmark::kMillisecond);
    }
}

}  // namespace nROOTSCOPE_1_0

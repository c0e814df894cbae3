// SPDX-License-Identifier: MIT
// The survey over the Linux host services at the bounds the reader takes:
// 65,536 ACPI entries, every one a started root bridge (256 domains of 256
// root buses each), with a kernel log of nearly 8 MiB that announces each
// bridge (bounds/host/kernel-log) or with no log at all, the ECAM windows of
// /proc/iomem giving every range (bounds/host/ecam).
//
// Each lookup of a bridge's range must cost the same whatever the number of
// announcements and root buses: here each survey reads the machine once, so
// its time is the reading of 65,536 entries and the two lookups each.
//
// The sysroot (about 400,000 files) is written once, to /dev/shm where
// there is one, and removed at exit.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <memory>
#include <stdexcept>
#include <string>

#include "GeneratedTree.h"
#include "RootBusSurvey.h"

namespace nROOTSCOPE_1_0 {
namespace {

constexpr unsigned kDomains = 256;
constexpr unsigned kBusesPerDomain = 256;
constexpr std::size_t kEntries = std::size_t{kDomains} * kBusesPerDomain;
constexpr std::size_t kLogBytes = (std::size_t{8} << 20) - 4096;

std::string hex(unsigned value, int digits) {
    char text[16];
    std::snprintf(text, sizeof text, "%0*x", digits, value);
    return text;
}

class tBoundsSysroot {
public:
    tBoundsSysroot() : tree_("rootscope-bounds") { build(); }

    const std::string& root() const { return tree_.root(); }

    // The log is taken away for the ECAM case, and put back after it.
    void hideLog(bool hide) const {
        const std::string log = root() + "/dev/kmsg";
        const std::string hidden = root() + "/dev/kmsg.hidden";
        if (std::rename(hide ? log.c_str() : hidden.c_str(), hide ? hidden.c_str() : log.c_str()) != 0) {
            throw std::runtime_error("cannot move the kernel log");
        }
    }

private:
    void build() {
        for (const char* dir : {"sys/bus/acpi/devices", "sys/devices/LNXSYSTM:00/LNXSYBUS:00", "dev", "proc"}) {
            tree_.directory(dir);
        }
        std::string log;
        std::string iomem;
        for (unsigned domain = 0; domain < kDomains; ++domain) {
            const std::string segment = hex(domain, 4);
            iomem += "e0000000-efffffff : PCI ECAM " + segment + " [bus 00-ff]\n";
            for (unsigned bus = 0; bus < kBusesPerDomain; ++bus) {
                const unsigned index = domain * kBusesPerDomain + bus;
                const std::string name = "PNP0A08:" + hex(index, 4);
                const std::string acpiName = "R" + hex(index, 4);
                const std::string host = "pci" + segment + ":" + hex(bus, 2);
                const std::string entry = "sys/devices/LNXSYSTM:00/LNXSYBUS:00/" + name;
                tree_.directory(entry);
                tree_.write(entry + "/hid", "PNP0A08\n");
                tree_.write(entry + "/uid", std::to_string(index) + "\n");
                tree_.write(entry + "/status", "15\n");
                tree_.write(entry + "/path", "\\_SB_." + acpiName + "\n");
                tree_.directory("sys/devices/" + host);
                tree_.link("../../../" + host, entry + "/physical_node");
                tree_.link("../../../devices/LNXSYSTM:00/LNXSYBUS:00/" + name, "sys/bus/acpi/devices/" + name);
                log += "6," + std::to_string(index) + ",290000,-;ACPI: PCI Root Bridge [" + acpiName + "] (domain " +
                       segment + " [bus " + hex(bus, 2) + "-" + hex(bus, 2) + "])\n";
            }
        }
        // The rest of the log: the records every boot writes, up to the bound.
        for (unsigned record = 0; log.size() < kLogBytes - 200; ++record) {
            char line[160];
            std::snprintf(line, sizeof line, "6,%u,%u,-;pci 0000:%02x:%02x.0: [8086:%04x] type 00 class 0x%06x\n",
                          70000 + record, 300000 + 37 * record, record % 256, record % 32, record % 0x10000,
                          record * 7 % 0x10000);
            log += line;
        }
        tree_.write("dev/kmsg", log);
        tree_.write("proc/iomem", iomem);
    }

    tGeneratedTree tree_;
};

const tBoundsSysroot& sharedSysroot() {
    static const std::unique_ptr<tBoundsSysroot> sysroot = std::make_unique<tBoundsSysroot>();
    return *sysroot;
}

void boundsBenchmark(benchmark::State& state, bool withLog) {
    const tBoundsSysroot& sysroot = sharedSysroot();
    if (!withLog) {
        sysroot.hideLog(true);
    }
    // Every bridge running, the first and the last two of the last domain
    // ranged as they should be: one bus each, the domain's last up to ff.
    if (!surveyGives(sysroot.root(), {"----- Root Bus: ACPI\\PNP0A08\\0 -----\nBus Number Range: [0, 0]\n",
                                      "----- Root Bus: ACPI\\PNP0A08\\65534 -----\nBus Number Range: [fe, fe]\n",
                                      "----- Root Bus: ACPI\\PNP0A08\\65535 -----\nBus Number Range: [ff, ff]\n"},
                     {"Error Retrieving"})) {
        state.SkipWithError("the survey of the generated sysroot did not give the expected report");
    } else {
        tNullSink sink;
        bool clean = true;
        for (auto _ : state) {
            tLinuxHostDeviceServices services(sysroot.root());
            {
                tEmulationScope scope(services);
                clean = runRootBusSurvey(sink.get(), nullptr) == 0 && clean;
            }
            clean = clean && services.leakReport().empty();
        }
        if (!clean) {
            state.SkipWithError("the survey failed or left the services unclean");
        }
        state.counters["entries"] = static_cast<double>(kEntries);
    }
    if (!withLog) {
        sysroot.hideLog(false);
    }
}

}  // namespace

void registerHostBoundsBenchmarks() {
    benchmark::RegisterBenchmark("bounds/host/kernel-log", boundsBenchmark, true)
        ->Unit(benchmark::kMillisecond)
        ->Iterations(1);
    benchmark::RegisterBenchmark("bounds/host/ecam", boundsBenchmark, false)
        ->Unit(benchmark::kMillisecond)
        ->Iterations(1);
}

}  // namespace nROOTSCOPE_1_0

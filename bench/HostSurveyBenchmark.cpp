// SPDX-License-Identifier: MIT
// The survey over the Linux host services, on generated sysroots of 1,000
// and 10,000 ACPI device entries.
//
// Each sysroot is laid out as the kernel lays out its own: entries in
// sys/bus/acpi/devices are links into sys/devices, each with the hid, uid,
// path and status attributes a machine's entries have (some without a uid,
// some without a hid at all), some bound to a physical node. Four started
// root bridges and a phantom one are spread through it; the kernel log
// (dev/kmsg, one record a line, as in the test fixtures) announces three of
// the bridges among a few thousand other records, and proc/iomem gives the
// fourth its range from the ECAM window. The sysroot is written to /dev/shm
// (or a temporary directory) when first needed and removed at exit.
//
// Every iteration makes a new services object, as every run of rootscope
// does, so each pays for reading the sysroot: nearly all of its time.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <memory>
#include <string>

#include "GeneratedTree.h"
#include "RootBusSurvey.h"

namespace nROOTSCOPE_1_0 {
namespace {

std::string hex2(std::size_t value) {
    char text[32];
    std::snprintf(text, sizeof text, "%02zx", value);
    return text;
}

// A generated sysroot, removed when the process ends.
class tHostSysroot {
public:
    explicit tHostSysroot(std::size_t entries) : tree_("rootscope-bench") { build(entries); }

    const std::string& root() const { return tree_.root(); }

private:
    struct tEntry {
        std::string name;
        std::string hid;     // empty: no hid file
        std::string uid;     // empty: no uid file
        std::string status;  // empty: no status file
        std::string path;
        std::string physicalNode;  // empty: not bound; else a directory under sys/devices
    };

    void addEntry(const tEntry& entry) {
        const std::string dir = "sys/devices/LNXSYSTM:00/LNXSYBUS:00/" + entry.name;
        tree_.directory(dir);
        if (!entry.hid.empty()) {
            tree_.write(dir + "/hid", entry.hid + "\n");
        }
        if (!entry.uid.empty()) {
            tree_.write(dir + "/uid", entry.uid + "\n");
        }
        if (!entry.status.empty()) {
            tree_.write(dir + "/status", entry.status + "\n");
        }
        tree_.write(dir + "/path", entry.path + "\n");
        if (!entry.physicalNode.empty()) {
            tree_.directory("sys/devices/" + entry.physicalNode);
            tree_.link("../../../" + entry.physicalNode, dir + "/physical_node");
        }
        tree_.link("../../../devices/LNXSYSTM:00/LNXSYBUS:00/" + entry.name, "sys/bus/acpi/devices/" + entry.name);
    }

    // The kinds of entries a machine is full of, in turn.
    static tEntry ordinaryEntry(std::size_t i) {
        const std::string n = hex2(i);
        const std::string segment = "D" + hex2(i % 0x1000).substr(0, 3);
        switch (i % 6) {
            case 0:
                return {"LNXCPU:" + n, "LNXCPU", std::to_string(i), "15", "\\_SB_.CP" + n.substr(0, 2),
                        "system/cpu/cpu" + std::to_string(i)};
            case 1:
                return {"PNP0C0F:" + n, "PNP0C0F", std::to_string(i), "9", "\\_SB_.LNK" + n.substr(0, 1), ""};
            case 2:
                return {"device:" + n, "", "", "", "\\_SB_.PC00." + segment, ""};
            case 3:
                return {"PNP0C0A:" + n, "PNP0C0A", std::to_string(i), "31", "\\_SB_.BAT" + n.substr(0, 1),
                        "platform/PNP0C0A:" + n};
            case 4:
                return {"ACPI000C:" + n, "ACPI000C", "", "", "\\_SB_.PAD" + n.substr(0, 1), ""};
            default:
                return {"PNP0C02:" + n, "PNP0C02", "", "11", "\\_SB_.PC00.LPCB." + segment,
                        "platform/PNP0C02:" + n};
        }
    }

    void build(std::size_t entries) {
        for (const char* dir : {"sys/bus/acpi/devices", "dev", "proc"}) {
            tree_.directory(dir);
        }

        // Root bridges: three announced in the log, one ranged by the ECAM
        // window only, one phantom (present bit clear).
        const tEntry bridges[] = {
            {"PNP0A08:00", "PNP0A08", "0", "15", "\\_SB_.PC00", "pci0000:00"},
            {"PNP0A08:01", "PNP0A08", "1", "15", "\\_SB_.PC01", "pci0000:40"},
            {"PNP0A03:00", "PNP0A03", "2", "15", "\\_SB_.PC02", "pci0000:80"},
            {"PNP0A08:02", "PNP0A08", "3", "15", "\\_SB_.PC03", "pci0000:c0"},
            {"PNP0A08:03", "PNP0A08", "4", "0", "\\_SB_.PC04", "platform/PNP0A08:03"},
        };
        const std::size_t bridgeCount = sizeof bridges / sizeof bridges[0];
        for (const tEntry& bridge : bridges) {
            addEntry(bridge);
        }
        for (std::size_t i = 0; i + bridgeCount < entries; ++i) {
            addEntry(ordinaryEntry(i));
        }

        std::string log;
        const char* announcements[] = {
            "ACPI: PCI Root Bridge [PC00] (domain 0000 [bus 00-3f])",
            "ACPI: PCI Root Bridge [PC01] (domain 0000 [bus 40-7f])",
            "ACPI: PCI Root Bridge [PC02] (domain 0000 [bus 80-bf])",
        };
        for (unsigned record = 0; record < 4000; ++record) {
            char line[160];
            if (record >= 400 && record < 403) {
                std::snprintf(line, sizeof line, "6,%u,%u,-;%s\n", record, 290000 + record,
                              announcements[record - 400]);
            } else {
                std::snprintf(line, sizeof line, "6,%u,%u,-;pci 0000:%02x:%02x.0: [8086:%04x] type 00 class 0x%06x\n",
                              record, 100000 + 37 * record, record % 256, record % 32, record, record * 7 % 0x10000);
            }
            log += line;
        }
        tree_.write("dev/kmsg", log);

        std::string iomem;
        for (unsigned region = 0; region < 60; ++region) {
            char line[128];
            std::snprintf(line, sizeof line, "%08x-%08x : System RAM\n", region * 0x100000u,
                          region * 0x100000u + 0xfffffu);
            iomem += line;
        }
        iomem += "e0000000-efffffff : PCI ECAM 0000 [bus 00-ff]\n";
        iomem += "  e0000000-efffffff : Reserved\n";
        tree_.write("proc/iomem", iomem);
    }

    tGeneratedTree tree_;
};

tHostSysroot& sharedSysroot(std::size_t entries) {
    static std::map<std::size_t, std::unique_ptr<tHostSysroot>> sysroots;
    auto& sysroot = sysroots[entries];
    if (!sysroot) {
        sysroot = std::make_unique<tHostSysroot>(entries);
    }
    return *sysroot;
}

void hostSurveyBenchmark(benchmark::State& state, std::size_t entries) {
    const std::string root = sharedSysroot(entries).root();
    // Four running bridges with their ranges, three from the log and the
    // last from the ECAM window.
    if (!surveyGives(root, {"Bus Number Range: [0, 3f]", "Bus Number Range: [40, 7f]", "Bus Number Range: [80, bf]",
                            "Bus Number Range: [c0, ff]"})) {
        state.SkipWithError("the survey of the generated sysroot did not give the expected report");
        return;
    }
    tNullSink sink;
    bool clean = true;
    for (auto _ : state) {
        tLinuxHostDeviceServices services(root);
        {
            tEmulationScope scope(services);
            const int exitCode = runRootBusSurvey(sink.get(), nullptr);
            clean = clean && exitCode == 0;
        }
        clean = clean && services.leakReport().empty();
    }
    if (!clean) {
        state.SkipWithError("the survey failed or left the services unclean");
        return;
    }
    setPerNodeCounter(state, entries);
}

}  // namespace

void registerHostBenchmarks() {
    registerHostBoundsBenchmarks();
    registerHeadroomBenchmarks();
    for (const std::size_t entries : {std::size_t{1000}, std::size_t{10000}}) {
        benchmark::RegisterBenchmark(("survey/host/" + std::to_string(entries)).c_str(), hostSurveyBenchmark, entries)
            ->Unit(benchmark::kMicrosecond);
    }
}

}  // namespace nROOTSCOPE_1_0

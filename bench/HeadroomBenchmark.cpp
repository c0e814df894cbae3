// rootscope-headroom's reading and analysis over generated sysroots of
// 1,000 and 10,000 PCI functions (headroom/sysfs/N): its cost per function
// must not grow with the tree.
//
// Each segment is one root bus with 32 root ports, each port leading to a
// bus of one eight-function device, as a server's segment full of NICs is:
// 288 functions a segment, as many segments as it takes. Every root bus has
// its ACPI node and kernel-log line; every port a slot. The sysroot is
// written once, to /dev/shm where there is one, and removed at exit.
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>

#include "Headroom.h"
#include "HeadroomReport.h"
#include "LinuxTopologyReader.h"
#include "SurveyBench.h"

namespace nROOTSCOPE_1_0 {
namespace {

namespace fs = std::filesystem;

constexpr unsigned kPortsPerSegment = 32;
constexpr unsigned kFunctionsPerDevice = 8;

void writeFile(const std::string& path, const std::string& text) {
    const int fd = ::open(path.c_str(), O_CREAT | O_TRUNC | O_WRONLY | O_CLOEXEC, 0644);
    if (fd < 0 || ::write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size()) || ::close(fd) != 0) {
        throw std::runtime_error("cannot write " + path);
    }
}

void makeDirectories(const std::string& path) {
    fs::create_directories(path);
}

void makeLink(const std::string& target, const std::string& path) {
    if (::symlink(target.c_str(), path.c_str()) != 0) {
        throw std::runtime_error("cannot link " + path);
    }
}

std::string address(unsigned segment, unsigned bus, unsigned device, unsigned function) {
    char text[32];
    std::snprintf(text, sizeof text, "%04x:%02x:%02x.%x", segment, bus, device, function);
    return text;
}

class tPciSysroot {
public:
    explicit tPciSysroot(std::size_t functions) {
        std::string pattern = fs::is_directory("/dev/shm") ? "/dev/shm" : fs::temp_directory_path().string();
        pattern += "/rootscope-pci-XXXXXX";
        if (::mkdtemp(pattern.data()) == nullptr) {
            throw std::runtime_error("cannot make a temporary directory");
        }
        root_ = pattern;
        build(functions);
    }
    ~tPciSysroot() {
        std::error_code ignored;
        fs::remove_all(root_, ignored);
    }
    tPciSysroot(const tPciSysroot&) = delete;
    tPciSysroot& operator=(const tPciSysroot&) = delete;

    const std::string& root() const { return root_; }
    unsigned segments() const { return segments_; }

private:
    void function(const std::string& parent, const std::string& name, const char* secondary) {
        const std::string dir = root_ + "/sys/devices/" + parent + "/" + name;
        makeDirectories(dir);
        writeFile(dir + "/class", secondary != nullptr ? "0x060400\n" : "0x020000\n");
        if (secondary != nullptr) {
            writeFile(dir + "/secondary_bus_number", std::string(secondary) + "\n");
            writeFile(dir + "/subordinate_bus_number", std::string(secondary) + "\n");
        }
        makeLink("../../../devices/" + parent + "/" + name, root_ + "/sys/bus/pci/devices/" + name);
    }

    void build(std::size_t functions) {
        for (const char* dir : {"/sys/bus/acpi/devices", "/sys/bus/pci/devices", "/sys/bus/pci/slots",
                                "/sys/devices/LNXSYSTM:00/LNXSYBUS:00", "/dev", "/proc"}) {
            makeDirectories(root_ + dir);
        }
        std::string log;
        std::size_t made = 0;
        for (unsigned segment = 0; made < functions; ++segment, ++segments_) {
            char host[16];
            std::snprintf(host, sizeof host, "pci%04x:00", segment);
            makeDirectories(root_ + "/sys/devices/" + host);
            const std::string entry = "PNP0A08:" + std::to_string(segment);
            const std::string acpi = root_ + "/sys/devices/LNXSYSTM:00/LNXSYBUS:00/" + entry;
            makeDirectories(acpi);
            writeFile(acpi + "/hid", "PNP0A08\n");
            writeFile(acpi + "/uid", std::to_string(segment) + "\n");
            writeFile(acpi + "/status", "15\n");
            char name[8];
            std::snprintf(name, sizeof name, "S%03x", segment);
            writeFile(acpi + "/path", std::string("\\_SB_.") + name + "\n");
            makeLink(std::string("../../../") + host, acpi + "/physical_node");
            makeLink("../../../devices/LNXSYSTM:00/LNXSYBUS:00/" + entry, root_ + "/sys/bus/acpi/devices/" + entry);
            char line[128];
            std::snprintf(line, sizeof line, "6,%u,1000,-;ACPI: PCI Root Bridge [%s] (domain %04x [bus 00-ff])\n",
                          segment, name, segment);
            log += line;
            for (unsigned port = 0; port < kPortsPerSegment && made < functions; ++port) {
                const std::string portName = address(segment, 0, port, 0);
                function(host, portName, std::to_string(port + 1).c_str());
                ++made;
                const std::string slot = root_ + "/sys/bus/pci/slots/" + std::to_string(segment * 100 + port);
                makeDirectories(slot);
                char slotAddress[24];
                std::snprintf(slotAddress, sizeof slotAddress, "%04x:%02x:00\n", segment, port + 1);
                writeFile(slot + "/address", slotAddress);
                writeFile(slot + "/power", "1\n");
                for (unsigned f = 0; f < kFunctionsPerDevice && made < functions; ++f, ++made) {
                    function(std::string(host) + "/" + portName, address(segment, port + 1, 0, f), nullptr);
                }
            }
        }
        writeFile(root_ + "/dev/kmsg", log);
        writeFile(root_ + "/proc/iomem", "");
    }

    std::string root_;
    unsigned segments_ = 0;
};

const tPciSysroot& sharedSysroot(std::size_t functions) {
    static std::map<std::size_t, std::unique_ptr<tPciSysroot>> sysroots;
    std::unique_ptr<tPciSysroot>& sysroot = sysroots[functions];
    if (!sysroot) {
        sysroot = std::make_unique<tPciSysroot>(functions);
    }
    return *sysroot;
}

void headroomBenchmark(benchmark::State& state, std::size_t functions) {
    const tPciSysroot& sysroot = sharedSysroot(functions);
    std::size_t length = 0;
    bool sound = true;
    for (auto _ : state) {
        tTopology topology;
        tReadFailure failure;
        sound = readLinuxTopology(sysroot.root(), topology, failure) && sound;
        const tHeadroom headroom = analyseHeadroom(topology);
        const std::string report = headroomView(headroom, false) + headroomJson(headroom);
        length = report.size();
        sound = sound && headroom.roots.size() == sysroot.segments() && headroom.problems.empty();
        benchmark::DoNotOptimize(length);
    }
    if (!sound) {
        state.SkipWithError("the generated sysroot was not read as it was made");
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
}

}  // namespace nROOTSCOPE_1_0

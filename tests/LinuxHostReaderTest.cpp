// SPDX-License-Identifier: MIT
// The Linux host reader over the golden sysroots and in a hostile
// environment: what it makes of a machine, and when it must give up.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "LinuxHostReader.h"
#include "FaultyOpens.h"
#include "OpenDescriptors.h"

namespace nROOTSCOPE_1_0 {
namespace {

std::string sysroot(const char* name) {
    return std::string(ROOTSCOPE_SYSROOTS_DIR) + "/" + name;
}

// "ID started [base-end]" per node, "-" for no boot configuration and "[]"
// for one without descriptors.
std::vector<std::string> describe(const tDeviceTable& table) {
    std::vector<std::string> lines;
    for (const tDeviceNode& node : table) {
        std::string line = node.id + (node.started ? " started " : " stopped ");
        if (!node.bootConfig) {
            line += "-";
        } else {
            line += "[";
            for (const tDeviceDescriptor& d : node.bootConfig->descriptors) {
                line += std::to_string(d.type) + ":" + std::to_string(d.base) + "-" + std::to_string(d.end) + "/" +
                        std::to_string(descriptorDataSize(d));
            }
            line += "]";
        }
        lines.push_back(line);
    }
    return lines;
}

struct tReaderCase {
    const char* sysroot;
    std::vector<std::string> table;
};

void PrintTo(const tReaderCase& c, std::ostream* os) {
    *os << c.sysroot;
}

class LinuxHostReader : public testing::TestWithParam<tReaderCase> {};

TEST_P(LinuxHostReader, ReadsEveryEntryInNameOrderWithItsBootConfiguration) {
    tDeviceTable table;
    tReadFailure failure;
    ASSERT_TRUE(readLinuxDeviceTable(sysroot(GetParam().sysroot), table, failure)) << failure.describe();
    EXPECT_EQ(describe(table), GetParam().table);
}

INSTANTIATE_TEST_SUITE_P(
    Sysroots, LinuxHostReader,
    testing::Values(
        // Ranges from the one MMCONFIG window, each stopped below the next
        // root bus of the domain.
        tReaderCase{"shared_ecam",
                    {"ACPI\\LNXSYBUS\\0 stopped -", "ACPI\\LNXSYSTM\\0 stopped -",
                     "ACPI\\PNP0A03\\1 started [6:64-127/20]", "ACPI\\PNP0A08\\2 started [6:128-255/20]",
                     "ACPI\\PNP0A08\\1 started [6:0-63/20]"}},
        // The kernel log's range wins over the wider window.
        tReaderCase{"kernel_log_range",
                    {"ACPI\\LNXSYBUS\\0 stopped -", "ACPI\\LNXSYSTM\\0 stopped -",
                     "ACPI\\PNP0A08\\0 started [6:0-63/20]", "ACPI\\PNP0C0F\\1 stopped -"}},
        tReaderCase{"no_range_source",
                    {"ACPI\\LNXSYBUS\\0 stopped -", "ACPI\\LNXSYSTM\\0 stopped -", "ACPI\\PNP0A08\\0 started []"}},
        tReaderCase{"no_acpi", {}},
        // Only started host bridges have a boot configuration: not a looping
        // physical node, one bound to something else, an unparsable status,
        // an entry never bound.
        tReaderCase{"malformed",
                    {"ACPI\\LNXSYBUS\\0 stopped -", "ACPI\\LNXSYSTM\\0 stopped -", "ACPI\\LOOP:00 stopped -",
                     "ACPI\\PNP0A08\\0 started [6:0-31/20]", "ACPI\\PNP0A08\\2 stopped -",
                     "ACPI\\PNP0A08\\3 started -", "ACPI\\PNP0A08:04 started [6:144-255/20]",
                     "ACPI\\PNP0A08\\31 stopped -", "ACPI\\PNP0A08\\PNP0A08:zz stopped -"}}));

TEST(LinuxHostReaderFails, WithoutSysOrWithAnUnreadableDeviceDirectoryAndSaysWhat) {
    const std::pair<const char*, std::string> cases[] = {
        {"missing_sys", "/missing_sys/sys: No such file or directory"},
        {"no_such_directory", "/no_such_directory: No such file or directory"},
        {"devices_loop", "/devices_loop/sys/bus/acpi/devices: Too many levels of symbolic links"},
    };
    for (const auto& [name, said] : cases) {
        tDeviceTable table;
        tReadFailure failure;
        EXPECT_FALSE(readLinuxDeviceTable(sysroot(name), table, failure)) << name;
        EXPECT_EQ(failure.describe(), std::string(ROOTSCOPE_SYSROOTS_DIR) + said);
    }
}

// Each call of a survey's reading that finds or opens a file fails in turn:
// each time the machine cannot be read, the failure names the file asked
// for and the error, and nothing opened is left open. A file that cannot be
// looked at is never taken as missing.
TEST(LinuxHostReaderFails, WhenAnyOneFileCallFailsAndNamesIt) {
    const std::string root = sysroot("kernel_log_range");
    const tFileCallCounts calls = failEachCallInTurn(
        [&](tReadFailure& failure) {
            tDeviceTable table;
            return readLinuxDeviceTable(root, table, failure);
        },
        [&](const std::string& path) {
            return path == root + "/sys" || path.starts_with(root + "/sys/bus/acpi/devices") ||
                   path == root + "/sys/devices" || path == root + "/dev/kmsg";
        });
    // Opens: the devices directory, hid and uid of each of four entries,
    // the bridge's status and path, the host bridges of sys/devices, the
    // log. Stats: each component of every path walked, and each file
    // opened. Link reads: each entry's link, and the bridge's physical node.
    EXPECT_EQ(calls.opens, 13);
    EXPECT_EQ(calls.stats, 40);
    EXPECT_EQ(calls.linkReads, 5);
}

// A device being removed while it is read (ENODEV) has attributes that are
// not there any more: missing, not a failure. Without its hid the bridge
// takes its entry's name.
TEST(LinuxHostReader, TakesAnAttributeOfADeviceGoingAwayAsMissing) {
    tFaultyOpens faults;
    faults.failPath = "PNP0A08:00/hid";
    faults.error = ENODEV;
    tFaultyOpensScope scope(faults);
    tDeviceTable table;
    tReadFailure failure;
    ASSERT_TRUE(readLinuxDeviceTable(sysroot("kernel_log_range"), table, failure)) << failure.describe();
    EXPECT_EQ(describe(table), (std::vector<std::string>{"ACPI\\LNXSYBUS\\0 stopped -", "ACPI\\LNXSYSTM\\0 stopped -",
                                                         "ACPI\\PNP0A08:00 started [6:0-63/20]",
                                                         "ACPI\\PNP0C0F\\1 stopped -"}));
}

// A status that is there but cannot be read does not say the node is
// present, whatever the open says: a socket or a device node without a
// driver (ENXIO), a device going away (ENODEV), a link that loops (ELOOP),
// one to a name too long (ENAMETOOLONG), one that dangles (ENOENT, with an
// entry there). Only a node with no status at all is present unread.
TEST(LinuxHostReader, TakesAStatusThatIsThereButUnreadableForAPhantom) {
    for (const int error : {ENXIO, ENODEV, ELOOP, ENAMETOOLONG, ENOENT}) {
        tFaultyOpens faults;
        faults.failPath = "PNP0A08:00/status";
        faults.error = error;
        tFaultyOpensScope scope(faults);
        tDeviceTable table;
        tReadFailure failure;
        ASSERT_TRUE(readLinuxDeviceTable(sysroot("kernel_log_range"), table, failure)) << failure.describe();
        EXPECT_EQ(describe(table), (std::vector<std::string>{"ACPI\\LNXSYBUS\\0 stopped -",
                                                             "ACPI\\LNXSYSTM\\0 stopped -",
                                                             "ACPI\\PNP0A08\\0 stopped -",
                                                             "ACPI\\PNP0C0F\\1 stopped -"}))
            << std::strerror(error);
    }
}

// Out of descriptors, an attribute that cannot be opened is a machine that
// cannot be read, not a missing attribute: taking it for one would drop the
// bridge from the survey. Nothing opened is left open.
TEST(LinuxHostReaderFails, WhenDescriptorsRunOut) {
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    const int before = openDescriptors();
    const std::vector<std::string> whole = {"ACPI\\LNXSYBUS\\0 stopped -", "ACPI\\LNXSYSTM\\0 stopped -",
                                            "ACPI\\PNP0A08\\0 started [6:0-63/20]", "ACPI\\PNP0C0F\\1 stopped -"};
    // With descriptors 0 to 2 open, a limit of 3 leaves none free.
    bool failed = false;
    bool read = false;
    for (rlim_t limit = 3; limit < 16 && !read; ++limit) {
        rlimit tight = saved;
        tight.rlim_cur = limit;
        ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &tight), 0);
        tDeviceTable table;
        tReadFailure failure;
        read = readLinuxDeviceTable(sysroot("kernel_log_range"), table, failure);
        ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);
        failed = failed || !read;
        if (read) {
            EXPECT_EQ(describe(table), whole) << "limit " << limit;
        }
        EXPECT_EQ(openDescriptors(), before) << "limit " << limit;
    }
    EXPECT_TRUE(failed);
    EXPECT_TRUE(read);
}

// More entries than the reader takes: refused, not cut short in whatever
// order the file system lists them.
TEST(LinuxHostReaderFails, WithMoreDeviceEntriesThanItTakes) {
    // In memory where there is such a file system: 65,537 files on a disk
    // take many seconds to make.
    std::string pattern = std::filesystem::is_directory("/dev/shm") ? "/dev/shm" : "/tmp";
    pattern += "/rootscope-entries-XXXXXX";
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    const std::filesystem::path root(pattern);
    const std::filesystem::path devices = root / "sys/bus/acpi/devices";
    std::filesystem::create_directories(devices);
    for (int i = 0; i <= 65536; ++i) {
        const int fd = ::open((devices / std::to_string(i)).c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
        ASSERT_GE(fd, 0);
        ::close(fd);
    }
    tDeviceTable table;
    tReadFailure failure;
    EXPECT_FALSE(readLinuxDeviceTable(root.string(), table, failure));
    EXPECT_EQ(failure.describe(), devices.string() + ": more than 65536 entries");
    std::filesystem::remove(devices / "0");
    EXPECT_TRUE(readLinuxDeviceTable(root.string(), table, failure));
    EXPECT_EQ(table.size(), 65536u);
    std::filesystem::remove_all(root);
}

}  // namespace
}  // namespace nROOTSCOPE_1_0

// SPDX-License-Identifier: MIT
// The device database of the Linux machine this runs on, read from what the
// kernel publishes; ACPI device nodes stand for the Windows device nodes.
//
// - Nodes: one per entry of R/sys/bus/acpi/devices, in name order.
// - Instance ID: "ACPI\<hid>\<uid>", with the fallbacks of makeInstanceId.
// - Started: a physical_node link to an existing directory and, when the
//   entry has a status file, its present bit (bit 0).
// - Boot configuration: only for a started node whose physical node is a PCI
//   host bridge "pciDDDD:BB"; it holds one bus-number descriptor with the
//   bridge's range as RootBusRanges.h finds it, or none without a range.
#pragma once

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include "EmulatedConfigManager.h"
#include "LinuxHostParsers.h"
#include "Sysroot.h"

namespace nROOTSCOPE_1_0 {

// A started ACPI node bound to a PCI host bridge "pciDDDD:BB".
struct tAcpiHostBridge {
    std::size_t node = 0;  // its entry in the device table
    tRootBus bus;
    std::string acpiName;  // as the kernel log names it; empty when unknown
};

// Reads the ACPI nodes of R/sys/bus/acpi/devices into `table`, in name
// order and without boot configurations, and the host bridges the started
// ones are bound to. Failures as for readLinuxDeviceTable.
bool readAcpiNodes(const tSysroot& root, tDeviceTable& table, std::vector<tAcpiHostBridge>& bridges,
                   tReadFailure& failure);

// Reads the machine under `root` ("/" for this one, a copy of one in tests)
// into `table`, every path and link resolved beneath `root`. Something that
// does not exist, and the odd contents the rules refuse, count as missing.
// Any other failure to read (no /sys, an unreadable devices directory or
// entry, too many entries, a descriptor or memory shortage, an I/O error)
// gives false and says in `failure` what could not be read and why: the
// database cannot be read.
bool readLinuxDeviceTable(const std::string& root, tDeviceTable& table, tReadFailure& failure);

// The machine under `root`, read once, when the first device set is opened:
// an emulated configuration manager holding this reader of its table.
class tLinuxHostDeviceServices {
public:
    explicit tLinuxHostDeviceServices(std::string root);
    tLinuxHostDeviceServices(const tLinuxHostDeviceServices&) = delete;
    tLinuxHostDeviceServices& operator=(const tLinuxHostDeviceServices&) = delete;

    tEmulatedConfigManager& emulation() { return emulation_; }
    // Where services and a heap are installed, the emulation is meant.
    operator tEmulatedConfigManager&() { return emulation_; }
    std::string leakReport() const { return emulation_.leakReport(); }

private:
    tEmulatedConfigManager emulation_;
};

}  // namespace nROOTSCOPE_1_0

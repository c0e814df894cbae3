// SPDX-License-Identifier: MIT
// The device database held in memory: what the Linux reader makes of a
// machine and what a fixture describes, served to the survey by the
// emulated configuration manager (EmulatedConfigManager.h) as Windows
// serves its own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "DeviceTypes.h"

namespace nROOTSCOPE_1_0 {

// One resource descriptor of a boot configuration. Its data is a bus-number
// header (no range records, as in an allocated configuration) carrying the
// allocated base and end, cut or zero-padded to `size` bytes: the size
// CM_Get_Res_Des_Data_Size reports.
struct tDeviceDescriptor {
    RESOURCEID type = ResType_BusNumber;
    std::uint32_t base = 0;
    std::uint32_t end = 0;
    std::uint32_t size = sizeof(BUSNUMBER_DES);
};

struct tDeviceNode {
    std::string id;
    bool started = false;
    // Absent: the node has no boot configuration.
    std::optional<std::vector<tDeviceDescriptor>> bootConfig;

    // What rootscope-headroom reads besides. Where the node hangs in the
    // device tree: its parent's entry; none for a node at the top.
    std::optional<std::size_t> parent;
    // SPDRP_BUSNUMBER, SPDRP_ADDRESS ((device << 16) | function) and
    // SPDRP_UI_NUMBER, and DEVPKEY_PciDevice_DeviceType; absent: not set.
    std::optional<DWORD> busNumber;
    std::optional<DWORD> address;
    std::optional<DWORD> uiNumber;
    std::optional<ULONG> deviceType;
    // Absent: the node has no allocated configuration.
    std::optional<std::vector<tDeviceDescriptor>> allocConfig;
};

// DEVINST n is entry n - 1; a device set holds every entry in this order.
using tDeviceTable = std::vector<tDeviceNode>;

}  // namespace nROOTSCOPE_1_0

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

// One resource descriptor of a configuration, served as the configuration
// manager serves its type: ResType_BusNumber as a BUSNUMBER_DES,
// ResType_Mem as a MEM_DES, ResType_MemLarge as a MEM_LARGE_DES and
// ResType_IO as an IO_DES, each a header with no range records, as in an
// allocated configuration, carrying the allocated base, end and flags
// (MD_Flags, MLD_Flags, IOD_DesFlags; a bus-number header has none). Any
// other type is served as zeros. The data is cut or zero-padded to `size`
// bytes, the size CM_Get_Res_Des_Data_Size reports; none: the header's own.
//
// The results are how the calls about it answer on this machine (a
// database that fails to give one descriptor): anything but CR_SUCCESS is
// returned, with garbage in the call's outputs, instead of the data.
struct tDeviceDescriptor {
    RESOURCEID type = ResType_BusNumber;
    std::uint64_t base = 0;
    std::uint64_t end = 0;
    DWORD flags = 0;
    std::optional<std::uint32_t> size;
    CONFIGRET result = CR_SUCCESS;  // of the CM_Get_Next_Res_Des call that yields it
    CONFIGRET sizeResult = CR_SUCCESS;
    CONFIGRET dataResult = CR_SUCCESS;
};

// A logical configuration: its descriptors in order, with how the calls
// that reach it answer.
struct tDeviceConfig {
    CONFIGRET result = CR_SUCCESS;  // of CM_Get_First_Log_Conf
    std::vector<tDeviceDescriptor> descriptors;
    CONFIGRET endResult = CR_NO_MORE_RES_DES;  // after the last descriptor; never CR_SUCCESS
};

// The size of the data of a descriptor as served. Inline, since a capture
// on Windows, where no table is served, says a size only where it differs.
inline std::uint32_t descriptorDataSize(const tDeviceDescriptor& descriptor) {
    if (descriptor.size) {
        return *descriptor.size;
    }
    const std::uint32_t header = descriptorHeaderBytes(descriptor.type);
    return header != 0 ? header : std::uint32_t{sizeof(BUSNUMBER_DES)};
}

struct tDeviceNode {
    std::string id;
    CONFIGRET idResult = CR_SUCCESS;  // of CM_Get_Device_IDA
    bool started = false;
    CONFIGRET statusResult = CR_SUCCESS;  // of CM_Get_DevNode_Status
    // The CM_PROB_* number of a device that has a problem (DN_HAS_PROBLEM
    // set); absent: none.
    std::optional<ULONG> problem;
    // Absent: the node has no boot configuration.
    std::optional<tDeviceConfig> bootConfig;

    // What rootscope-headroom reads besides. Where the node hangs in the
    // device tree: its parent's entry; none for a node at the top.
    std::optional<std::size_t> parent;
    // SPDRP_BUSNUMBER, SPDRP_ADDRESS ((device << 16) | function) and
    // SPDRP_UI_NUMBER, DEVPKEY_PciDevice_DeviceType and
    // DEVPKEY_PciDevice_BarTypes; absent: not set.
    std::optional<DWORD> busNumber;
    std::optional<DWORD> address;
    std::optional<DWORD> uiNumber;
    std::optional<ULONG> deviceType;
    std::optional<ULONG> barTypes;
    // Absent: the node has no allocated configuration.
    std::optional<tDeviceConfig> allocConfig;
};

// DEVINST n is entry n - 1; a device set holds every entry in this order.
using tDeviceTable = std::vector<tDeviceNode>;

// The PCI driver's HackFlags in the registry: a value, none set, or a read
// that is refused.
struct tHackFlags {
    std::optional<DWORD> value;
    bool unreadable = false;
};

}  // namespace nROOTSCOPE_1_0

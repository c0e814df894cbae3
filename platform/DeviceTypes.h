// SPDX-License-Identifier: MIT
// Types and constants of the Windows device-installation (SetupAPI) and
// configuration-manager services. On Windows they come from the SDK headers;
// elsewhere this header defines the same names with the same sizes, so the
// survey is one code path on every platform.
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(_WIN32)

// clang-format off
#include "WindowsHeaders.h"
#include <setupapi.h>
#include <cfgmgr32.h>
#include <devpropdef.h>
// clang-format on

#else

using BOOL = int;
using DWORD = std::uint32_t;
using ULONG = std::uint32_t;
using ULONG_PTR = std::uintptr_t;
using DWORD_PTR = std::uintptr_t;
using HANDLE = void*;
using HWND = void*;
using PVOID = void*;
using PSTR = char*;
using PCSTR = const char*;
using CHAR = char;

struct GUID {
    std::uint32_t Data1;
    std::uint16_t Data2;
    std::uint16_t Data3;
    std::uint8_t Data4[8];
};

using BYTE = std::uint8_t;
using HDEVINFO = void*;
using DEVINST = DWORD;
using CONFIGRET = DWORD;
using LOG_CONF = DWORD_PTR;
using RES_DES = DWORD_PTR;
using RESOURCEID = ULONG;

#define INVALID_HANDLE_VALUE (reinterpret_cast<HANDLE>(~static_cast<std::uintptr_t>(0)))
#define FALSE 0
#define TRUE 1

#define SP_MAX_MACHINENAME_LENGTH (260 + 3)

struct DEVPROPKEY {
    GUID fmtid;
    ULONG pid;
};
using DEVPROPTYPE = ULONG;

struct SP_DEVINFO_DATA {
    DWORD cbSize;
    GUID ClassGuid;
    DWORD DevInst;
    ULONG_PTR Reserved;
};

struct SP_DEVINFO_LIST_DETAIL_DATA_A {
    DWORD cbSize;
    GUID ClassGuid;
    HANDLE RemoteMachineHandle;
    CHAR RemoteMachineName[SP_MAX_MACHINENAME_LENGTH];
};

struct BUSNUMBER_DES {
    DWORD BUSD_Count;
    DWORD BUSD_Type;
    DWORD BUSD_Flags;
    ULONG BUSD_Alloc_Base;
    ULONG BUSD_Alloc_End;
};

#define DIGCF_ALLCLASSES 0x00000004
#define MAX_DEVICE_ID_LEN 200

#define ALLOC_LOG_CONF 0x00000002
#define BOOT_LOG_CONF 0x00000003
#define ResType_All 0x00000000
#define ResType_Mem 0x00000001
#define ResType_IO 0x00000002
#define ResType_DMA 0x00000003
#define ResType_IRQ 0x00000004
#define ResType_BusNumber 0x00000006

#define DN_STARTED 0x00000008

#define SPDRP_UI_NUMBER 0x00000010
#define SPDRP_BUSNUMBER 0x00000015
#define SPDRP_ADDRESS 0x0000001C
#define REG_DWORD 4
#define DEVPROP_TYPE_UINT32 0x00000007

#define CR_SUCCESS 0x00000000
#define CR_FAILURE 0x00000013
#define CR_OUT_OF_MEMORY 0x00000002
#define CR_INVALID_POINTER 0x00000003
#define CR_INVALID_FLAG 0x00000004
#define CR_INVALID_DEVNODE 0x00000005
#define CR_INVALID_RES_DES 0x00000006
#define CR_INVALID_LOG_CONF 0x00000007
#define CR_NO_SUCH_DEVNODE 0x0000000D
#define CR_NO_MORE_LOG_CONF 0x0000000E
#define CR_NO_MORE_RES_DES 0x0000000F
#define CR_BUFFER_SMALL 0x0000001A
#define CR_ACCESS_DENIED 0x00000033

#define ERROR_FILE_NOT_FOUND 2L
#define ERROR_INVALID_HANDLE 6L
#define ERROR_INVALID_DATA 13L
#define ERROR_INSUFFICIENT_BUFFER 122L
#define ERROR_INVALID_FLAGS 1004L
#define ERROR_NOT_FOUND 1168L
#define ERROR_NOT_ENOUGH_MEMORY 8L
#define ERROR_GEN_FAILURE 31L
#define ERROR_INVALID_PARAMETER 87L
#define ERROR_NO_MORE_ITEMS 259L
#define ERROR_INVALID_USER_BUFFER 1784L

#endif  // _WIN32

#if defined(_WIN32)
// A 32-bit program on 64-bit Windows gets CR_CALL_NOT_IMPLEMENTED from every
// log-configuration and resource-descriptor call, so no range could be read.
static_assert(sizeof(void*) == 8, "rootscope is built for 64-bit Windows only");
#endif

namespace nROOTSCOPE_1_0 {

// DEVPKEY_PciDevice_DeviceType of pciprop.h, spelt out here so that no
// translation unit needs INITGUID: what kind of PCI function a device is.
inline constexpr DEVPROPKEY kPciDeviceTypeKey{
    {0x3ab22e31, 0x8264, 0x4b4e, {0x9a, 0xf5, 0xa8, 0xd2, 0xd8, 0xe3, 0x3e, 0x62}}, 1};

// Its values 6 to 13 are bridges (DevProp_PciDevice_BridgeType_...): PCI,
// PCI-X, a PCI Express root port, upstream and downstream switch ports, the
// PCI Express / PCI-X bridges both ways, and one treated as PCI.
inline constexpr ULONG kPciBridgeTypeFirst = 6;
inline constexpr ULONG kPciBridgeTypeLast = 13;

}  // namespace nROOTSCOPE_1_0

// The sizes the services check on 64-bit Windows.
static_assert(sizeof(void*) != 8 || sizeof(SP_DEVINFO_DATA) == 32, "SP_DEVINFO_DATA must be 32 bytes on x64");
static_assert(sizeof(void*) != 8 || sizeof(SP_DEVINFO_LIST_DETAIL_DATA_A) == 296,
              "SP_DEVINFO_LIST_DETAIL_DATA_A must be 296 bytes on x64");
static_assert(sizeof(BUSNUMBER_DES) == 20, "the bus-number header is five 32-bit words");
static_assert(sizeof(DEVINST) == 4 && sizeof(CONFIGRET) == 4 && sizeof(RESOURCEID) == 4);

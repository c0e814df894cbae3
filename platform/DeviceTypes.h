// SPDX-License-Identifier: MIT
// Types and constants of the Windows device-installation (SetupAPI) and
// configuration-manager services. On Windows they come from the SDK headers;
// elsewhere this header defines the same names with the same sizes, so the
// survey is one code path on every platform.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

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
using DWORDLONG = std::uint64_t;
using LSTATUS = std::int32_t;
using LPCSTR = const char*;
struct tRegistryKey;
using HKEY = tRegistryKey*;

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

// The resource descriptors of a configuration, packed to one byte as the
// configuration manager gives them.
#pragma pack(push, 1)
struct MEM_DES {
    DWORD MD_Count;
    DWORD MD_Type;
    DWORDLONG MD_Alloc_Base;
    DWORDLONG MD_Alloc_End;
    DWORD MD_Flags;
    DWORD MD_Reserved;
};

struct MEM_LARGE_DES {
    DWORD MLD_Count;
    DWORD MLD_Type;
    DWORDLONG MLD_Alloc_Base;
    DWORDLONG MLD_Alloc_End;
    DWORD MLD_Flags;
    DWORD MLD_Reserved;
};

struct IO_DES {
    DWORD IOD_Count;
    DWORD IOD_Type;
    DWORDLONG IOD_Alloc_Base;
    DWORDLONG IOD_Alloc_End;
    DWORD IOD_DesFlags;
};
#pragma pack(pop)

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
#define ResType_MemLarge 0x00000007

#define mMD_Prefetchable 0x4
#define fMD_PrefetchAllowed 0x4
#define fMD_WINDOW_DECODE 0x40
#define fMD_MEMORY_BAR 0x80
#define fIOD_WINDOW_DECODE 0x0080
#define fIOD_PORT_BAR 0x0100

#define DN_STARTED 0x00000008
#define DN_HAS_PROBLEM 0x00000400
#define CM_PROB_NORMAL_CONFLICT 0x0000000C
#define CM_PROB_FAILED_ADD 0x0000001F

#define SPDRP_UI_NUMBER 0x00000010
#define SPDRP_BUSNUMBER 0x00000015
#define SPDRP_ADDRESS 0x0000001C
#define REG_DWORD 4
#define RRF_RT_REG_DWORD 0x00000010
#define HKEY_LOCAL_MACHINE (reinterpret_cast<HKEY>(static_cast<std::uintptr_t>(0x80000002u)))
#define DEVPROP_TYPE_INT32 0x00000006
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

#define ERROR_SUCCESS 0L
#define ERROR_FILE_NOT_FOUND 2L
#define ERROR_ACCESS_DENIED 5L
#define ERROR_MORE_DATA 234L
#define ERROR_UNSUPPORTED_TYPE 1630L
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

// The header the configuration manager gives a descriptor of `type` in a
// resource list (no range records): BUSNUMBER_DES, MEM_DES, MEM_LARGE_DES or
// IO_DES. Its size in bytes; 0 for a type without such a header.
inline std::uint32_t descriptorHeaderBytes(RESOURCEID type) {
    switch (type) {
        case ResType_BusNumber: return sizeof(BUSNUMBER_DES);
        case ResType_Mem: return sizeof(MEM_DES);
        case ResType_MemLarge: return sizeof(MEM_LARGE_DES);
        case ResType_IO: return sizeof(IO_DES);
        default: return 0;
    }
}

// The allocated range and flags such a header holds (a bus-number header
// has no flags; the large-memory header has the memory header's layout).
// `header` holds descriptorHeaderBytes(type) bytes; any other type reads as
// zeros.
struct tDescriptorRange {
    std::uint64_t base = 0;
    std::uint64_t end = 0;
    DWORD flags = 0;
};

inline tDescriptorRange descriptorRange(RESOURCEID type, const unsigned char* header) {
    tDescriptorRange range;
    if (type == ResType_BusNumber) {
        ULONG base = 0;
        ULONG end = 0;
        std::memcpy(&base, header + offsetof(BUSNUMBER_DES, BUSD_Alloc_Base), sizeof base);
        std::memcpy(&end, header + offsetof(BUSNUMBER_DES, BUSD_Alloc_End), sizeof end);
        range.base = base;
        range.end = end;
    } else if (type == ResType_Mem || type == ResType_MemLarge || type == ResType_IO) {
        static_assert(offsetof(MEM_DES, MD_Alloc_Base) == offsetof(IO_DES, IOD_Alloc_Base) &&
                      offsetof(MEM_LARGE_DES, MLD_Alloc_Base) == offsetof(MEM_DES, MD_Alloc_Base) &&
                      offsetof(MEM_DES, MD_Alloc_End) == offsetof(IO_DES, IOD_Alloc_End) &&
                      offsetof(MEM_LARGE_DES, MLD_Alloc_End) == offsetof(MEM_DES, MD_Alloc_End) &&
                      offsetof(MEM_DES, MD_Flags) == offsetof(IO_DES, IOD_DesFlags) &&
                      offsetof(MEM_LARGE_DES, MLD_Flags) == offsetof(MEM_DES, MD_Flags),
                      "the memory, large-memory and I/O headers place base, end and flags alike");
        std::memcpy(&range.base, header + offsetof(MEM_DES, MD_Alloc_Base), sizeof range.base);
        std::memcpy(&range.end, header + offsetof(MEM_DES, MD_Alloc_End), sizeof range.end);
        std::memcpy(&range.flags, header + offsetof(MEM_DES, MD_Flags), sizeof range.flags);
    }
    return range;
}

// Whether two device property keys name one property.
inline bool samePropertyKey(const DEVPROPKEY& a, const DEVPROPKEY& b) {
    return std::memcmp(&a.fmtid, &b.fmtid, sizeof a.fmtid) == 0 && a.pid == b.pid;
}

// DEVPKEY_PciDevice_DeviceType of pciprop.h, spelt out here so that no
// translation unit needs INITGUID: what kind of PCI function a device is.
inline constexpr DEVPROPKEY kPciDeviceTypeKey{
    {0x3ab22e31, 0x8264, 0x4b4e, {0x9a, 0xf5, 0xa8, 0xd2, 0xd8, 0xe3, 0x3e, 0x62}}, 1};

// DEVPKEY_PciDevice_BarTypes: how many BARs of each kind the function has,
// one count a byte: I/O, memory, 32-bit prefetchable, 64-bit prefetchable.
inline constexpr DEVPROPKEY kPciBarTypesKey{
    {0x3ab22e31, 0x8264, 0x4b4e, {0x9a, 0xf5, 0xa8, 0xd2, 0xd8, 0xe3, 0x3e, 0x62}}, 16};

// Where Windows' PCI driver reads its workarounds for expansion chassis, a
// REG_DWORD: 0x400 keeps a bridge's window that reset left disabled (Code
// 12 below it), 0x200 lets it renumber buses past the firmware's (Code 31).
inline constexpr const char kPciHackFlagsKey[] = "SYSTEM\\CurrentControlSet\\Control\\PnP\\Pci";
inline constexpr const char kPciHackFlagsValue[] = "HackFlags";
inline constexpr DWORD kHackFlagKeepBridgeWindows = 0x400;
inline constexpr DWORD kHackFlagRenumberBuses = 0x200;

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
static_assert(sizeof(MEM_DES) == 32 && sizeof(MEM_LARGE_DES) == 32 && sizeof(IO_DES) == 28,
              "the memory and I/O headers are packed to one byte");
static_assert(sizeof(DEVINST) == 4 && sizeof(CONFIGRET) == 4 && sizeof(RESOURCEID) == 4);

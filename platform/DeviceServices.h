// SPDX-License-Identifier: MIT
// The one seam between the survey and the operating system's device database.
//
// The survey calls exactly these operations, named and typed as the Windows
// services they stand for. Windows builds serve them from SetupAPI and the
// configuration manager; Linux builds from the kernel's view of the machine;
// tests and the harness from a simulated device tree.
#pragma once

#include <cstdint>
#include <string>

#include "DeviceTypes.h"

namespace nROOTSCOPE_1_0 {

// How a call says it failed: a CONFIGRET; a BOOL with the error left for
// GetLastError; a device set handle, INVALID_HANDLE_VALUE with the error
// left; an LSTATUS.
enum class tCallResult : std::uint8_t { ConfigRet, Bool, Handle, Status };

// Every call of the seam, once. Each entry gives:
//   how it fails (tCallResult), whether it gives a handle back (a release
//   does its work even when it then reports a failure, since its caller
//   cannot try again), the Windows name, the short name of its kind (the
//   fault plans' and logs' tSimCall), the return type, the parameters, the
//   arguments, and what it fills besides numbers: a buffer as (pointer,
//   length), the length a byte count or pointing to one; a record that
//   opens with cbSize as (record); () for nothing. The numbers it writes
//   need no naming: they are its non-const pointers to numbers.
// The interface, the Windows services, the emulation's declarations and
// the fault-injecting wrapper are all expanded from this list.
#define ROOTSCOPE_DEVICE_CALLS(X)                                                                                      \
    X(Handle, false, SetupDiGetClassDevsA, OpenSet, HDEVINFO,                                                          \
      (const GUID* classGuid, PCSTR enumerator, HWND parent, DWORD flags), (classGuid, enumerator, parent, flags),     \
      ())                                                                                                              \
    X(Bool, false, SetupDiGetDeviceInfoListDetailA, DescribeSet, BOOL,                                                 \
      (HDEVINFO set, SP_DEVINFO_LIST_DETAIL_DATA_A* detail), (set, detail), (detail))                                  \
    X(Bool, false, SetupDiEnumDeviceInfo, EnumerateSet, BOOL,                                                          \
      (HDEVINFO set, DWORD memberIndex, SP_DEVINFO_DATA* record), (set, memberIndex, record), (record))                \
    X(Bool, true, SetupDiDestroyDeviceInfoList, DestroySet, BOOL, (HDEVINFO set), (set), ())                           \
    X(ConfigRet, false, CM_Get_Device_IDA, ReadId, CONFIGRET,                                                          \
      (DEVINST node, PSTR buffer, ULONG bufferLength, ULONG flags), (node, buffer, bufferLength, flags),               \
      (buffer, bufferLength))                                                                                          \
    X(ConfigRet, false, CM_Get_DevNode_Status, QueryStatus, CONFIGRET,                                                 \
      (ULONG* status, ULONG* problem, DEVINST node, ULONG flags), (status, problem, node, flags), ())                  \
    X(ConfigRet, false, CM_Get_First_Log_Conf, FirstLogConf, CONFIGRET,                                                \
      (LOG_CONF* logConf, DEVINST node, ULONG flags), (logConf, node, flags), ())                                      \
    X(ConfigRet, false, CM_Get_Next_Res_Des, NextResDes, CONFIGRET,                                                    \
      (RES_DES* next, RES_DES current, RESOURCEID forResource, RESOURCEID* resourceId, ULONG flags),                   \
      (next, current, forResource, resourceId, flags), ())                                                             \
    X(ConfigRet, false, CM_Get_Res_Des_Data_Size, ResDesDataSize, CONFIGRET,                                           \
      (ULONG* size, RES_DES descriptor, ULONG flags), (size, descriptor, flags), ())                                   \
    X(ConfigRet, false, CM_Get_Res_Des_Data, ResDesData, CONFIGRET,                                                    \
      (RES_DES descriptor, PVOID buffer, ULONG bufferLength, ULONG flags), (descriptor, buffer, bufferLength, flags),  \
      (buffer, bufferLength))                                                                                          \
    X(ConfigRet, true, CM_Free_Res_Des_Handle, FreeResDes, CONFIGRET, (RES_DES descriptor), (descriptor), ())          \
    X(ConfigRet, true, CM_Free_Log_Conf_Handle, FreeLogConf, CONFIGRET, (LOG_CONF logConf), (logConf), ())             \
    /* The device tree, for rootscope-headroom: a node's first child and its                                     */    \
    /* next sibling, CR_NO_SUCH_DEVNODE when there is none.                                                      */    \
    X(ConfigRet, false, CM_Get_Child, GetChild, CONFIGRET, (DEVINST* child, DEVINST node, ULONG flags),                \
      (child, node, flags), ())                                                                                        \
    X(ConfigRet, false, CM_Get_Sibling, GetSibling, CONFIGRET, (DEVINST* sibling, DEVINST node, ULONG flags),          \
      (sibling, node, flags), ())                                                                                      \
    /* A member's registry property (SPDRP_BUSNUMBER, SPDRP_ADDRESS,                                             */    \
    /* SPDRP_UI_NUMBER) and its other properties (kPciDeviceTypeKey).                                            */    \
    X(Bool, false, SetupDiGetDeviceRegistryPropertyA, RegistryProperty, BOOL,                                          \
      (HDEVINFO set, SP_DEVINFO_DATA* record, DWORD property, DWORD* valueType, BYTE* buffer, DWORD bufferSize,        \
       DWORD* requiredSize),                                                                                           \
      (set, record, property, valueType, buffer, bufferSize, requiredSize), (buffer, bufferSize))                      \
    X(Bool, false, SetupDiGetDevicePropertyW, DeviceProperty, BOOL,                                                    \
      (HDEVINFO set, SP_DEVINFO_DATA* record, const DEVPROPKEY* key, DEVPROPTYPE* valueType, BYTE* buffer,             \
       DWORD bufferSize, DWORD* requiredSize, DWORD flags),                                                            \
      (set, record, key, valueType, buffer, bufferSize, requiredSize, flags), (buffer, bufferSize))                    \
    /* A value of the registry, read only: rootscope-headroom reads the PCI                                      */    \
    /* driver's HackFlags (kPciHackFlagsKey). ERROR_FILE_NOT_FOUND when the                                      */    \
    /* value is not set.                                                                                         */    \
    X(Status, false, RegGetValueA, RegistryValue, LSTATUS,                                                             \
      (HKEY key, LPCSTR subKey, LPCSTR value, DWORD flags, DWORD* valueType, PVOID data, DWORD* dataSize),             \
      (key, subKey, value, flags, valueType, data, dataSize), (data, dataSize))

// A member declaration of each call, for the interface and its sides.
#define ROOTSCOPE_DECLARE_DEVICE_CALL(result, releases, name, kind, type, params, args, fills) \
    virtual type name params = 0;
#define ROOTSCOPE_OVERRIDE_DEVICE_CALL(result, releases, name, kind, type, params, args, fills) \
    type name params override;

class iDeviceServices {
public:
    virtual ~iDeviceServices() = default;

    ROOTSCOPE_DEVICE_CALLS(ROOTSCOPE_DECLARE_DEVICE_CALL)

    // The error the last failed SetupDi call left: ERROR_NO_MORE_ITEMS when
    // an enumeration ran past the last member.
    virtual DWORD GetLastError() = 0;

    // After a device set failed to open: what of the device database could
    // not be read and why, as "PATH: REASON", for the person running the
    // program. Empty when the services have nothing to add to the error.
    virtual std::string describeDatabaseFailure() const { return std::string(); }
};

// The services the survey uses: the platform's own unless a caller installed
// others.
iDeviceServices& deviceServices();

// Installs `services` for every later survey call; null goes back to the
// platform's own. The caller keeps ownership and keeps it alive while in use.
void useDeviceServices(iDeviceServices* services);

// The platform's own services: the real device database of this machine.
iDeviceServices& platformDeviceServices();

// Releases a device information set of the installed services on every
// path out of the scope that opened it.
class tDeviceSetGuard {
public:
    explicit tDeviceSetGuard(HDEVINFO set) : set_(set) {}
    ~tDeviceSetGuard() { deviceServices().SetupDiDestroyDeviceInfoList(set_); }
    tDeviceSetGuard(const tDeviceSetGuard&) = delete;
    tDeviceSetGuard& operator=(const tDeviceSetGuard&) = delete;

private:
    HDEVINFO set_;
};

// Installs services for one scope and restores the previous ones on exit.
class tScopedDeviceServices {
public:
    explicit tScopedDeviceServices(iDeviceServices& services);
    ~tScopedDeviceServices();
    tScopedDeviceServices(const tScopedDeviceServices&) = delete;
    tScopedDeviceServices& operator=(const tScopedDeviceServices&) = delete;

private:
    iDeviceServices* previous_;
};

}  // namespace nROOTSCOPE_1_0

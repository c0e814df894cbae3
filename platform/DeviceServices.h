// SPDX-License-Identifier: MIT
// The one seam between the survey and the operating system's device database.
//
// The survey calls exactly these operations, named and typed as the Windows
// services they stand for. Windows builds serve them from SetupAPI and the
// configuration manager; Linux builds from the kernel's view of the machine;
// tests and the harness from a simulated device tree.
#pragma once

#include <string>

#include "DeviceTypes.h"

namespace nROOTSCOPE_1_0 {

class iDeviceServices {
public:
    virtual ~iDeviceServices() = default;

    virtual HDEVINFO SetupDiGetClassDevsA(const GUID* classGuid, PCSTR enumerator, HWND parent,
                                          DWORD flags) = 0;
    virtual BOOL SetupDiGetDeviceInfoListDetailA(HDEVINFO set, SP_DEVINFO_LIST_DETAIL_DATA_A* detail) = 0;
    virtual BOOL SetupDiEnumDeviceInfo(HDEVINFO set, DWORD memberIndex, SP_DEVINFO_DATA* record) = 0;
    virtual BOOL SetupDiDestroyDeviceInfoList(HDEVINFO set) = 0;

    virtual CONFIGRET CM_Get_Device_IDA(DEVINST node, PSTR buffer, ULONG bufferLength, ULONG flags) = 0;
    virtual CONFIGRET CM_Get_DevNode_Status(ULONG* status, ULONG* problem, DEVINST node, ULONG flags) = 0;
    virtual CONFIGRET CM_Get_First_Log_Conf(LOG_CONF* logConf, DEVINST node, ULONG flags) = 0;
    virtual CONFIGRET CM_Get_Next_Res_Des(RES_DES* next, RES_DES current, RESOURCEID forResource,
                                          RESOURCEID* resourceId, ULONG flags) = 0;
    virtual CONFIGRET CM_Get_Res_Des_Data_Size(ULONG* size, RES_DES descriptor, ULONG flags) = 0;
    virtual CONFIGRET CM_Get_Res_Des_Data(RES_DES descriptor, PVOID buffer, ULONG bufferLength,
                                          ULONG flags) = 0;
    virtual CONFIGRET CM_Free_Res_Des_Handle(RES_DES descriptor) = 0;
    virtual CONFIGRET CM_Free_Log_Conf_Handle(LOG_CONF logConf) = 0;

    // The device tree, for rootscope-headroom: a node's first child and its
    // next sibling, CR_NO_SUCH_DEVNODE when there is none.
    virtual CONFIGRET CM_Get_Child(DEVINST* child, DEVINST node, ULONG flags) = 0;
    virtual CONFIGRET CM_Get_Sibling(DEVINST* sibling, DEVINST node, ULONG flags) = 0;
    // A member's registry property (SPDRP_BUSNUMBER, SPDRP_ADDRESS,
    // SPDRP_UI_NUMBER) and its other properties (kPciDeviceTypeKey).
    virtual BOOL SetupDiGetDeviceRegistryPropertyA(HDEVINFO set, SP_DEVINFO_DATA* record, DWORD property,
                                                   DWORD* valueType, BYTE* buffer, DWORD bufferSize,
                                                   DWORD* requiredSize) = 0;
    virtual BOOL SetupDiGetDevicePropertyW(HDEVINFO set, SP_DEVINFO_DATA* record, const DEVPROPKEY* key,
                                           DEVPROPTYPE* valueType, BYTE* buffer, DWORD bufferSize,
                                           DWORD* requiredSize, DWORD flags) = 0;

    // A value of the registry, read only: rootscope-headroom reads the PCI
    // driver's HackFlags (kPciHackFlagsKey). ERROR_FILE_NOT_FOUND when the
    // value is not set.
    virtual LSTATUS RegGetValueA(HKEY key, LPCSTR subKey, LPCSTR value, DWORD flags, DWORD* valueType, PVOID data,
                                 DWORD* dataSize) = 0;

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

// The device database of the Linux machine this runs on, seen through the
// kernel: ACPI device nodes stand for the Windows device nodes.
#pragma once

#include <string>

#include "DeviceServices.h"

namespace rootscope {

class tLinuxHostDeviceServices final : public iDeviceServices {
public:
    // `root` is the directory the kernel's trees are read under: "/" for the
    // real machine, a fixture directory in tests.
    explicit tLinuxHostDeviceServices(std::string root);

    HDEVINFO SetupDiGetClassDevsA(const GUID* classGuid, PCSTR enumerator, HWND parent, DWORD flags) override;
    BOOL SetupDiGetDeviceInfoListDetailA(HDEVINFO set, SP_DEVINFO_LIST_DETAIL_DATA_A* detail) override;
    BOOL SetupDiEnumDeviceInfo(HDEVINFO set, DWORD memberIndex, SP_DEVINFO_DATA* record) override;
    BOOL SetupDiDestroyDeviceInfoList(HDEVINFO set) override;
    CONFIGRET CM_Get_Device_IDA(DEVINST node, PSTR buffer, ULONG bufferLength, ULONG flags) override;
    CONFIGRET CM_Get_DevNode_Status(ULONG* status, ULONG* problem, DEVINST node, ULONG flags) override;
    CONFIGRET CM_Get_First_Log_Conf(LOG_CONF* logConf, DEVINST node, ULONG flags) override;
    CONFIGRET CM_Get_Next_Res_Des(RES_DES* next, RES_DES current, RESOURCEID forResource, RESOURCEID* resourceId,
                                  ULONG flags) override;
    CONFIGRET CM_Get_Res_Des_Data_Size(ULONG* size, RES_DES descriptor, ULONG flags) override;
    CONFIGRET CM_Get_Res_Des_Data(RES_DES descriptor, PVOID buffer, ULONG bufferLength, ULONG flags) override;
    CONFIGRET CM_Free_Res_Des_Handle(RES_DES descriptor) override;
    CONFIGRET CM_Free_Log_Conf_Handle(LOG_CONF logConf) override;

private:
    std::string root_;
    int setsHeld_ = 0;
};

}  // namespace rootscope

// SPDX-License-Identifier: MIT
// The real device database: SetupAPI and the configuration manager.
#include "DeviceServices.h"

namespace nROOTSCOPE_1_0 {

namespace {

class tWindowsDeviceServices final : public iDeviceServices {
public:
    HDEVINFO SetupDiGetClassDevsA(const GUID* classGuid, PCSTR enumerator, HWND parent, DWORD flags) override {
        return ::SetupDiGetClassDevsA(classGuid, enumerator, parent, flags);
    }
    BOOL SetupDiGetDeviceInfoListDetailA(HDEVINFO set, SP_DEVINFO_LIST_DETAIL_DATA_A* detail) override {
        return ::SetupDiGetDeviceInfoListDetailA(set, detail);
    }
    BOOL SetupDiEnumDeviceInfo(HDEVINFO set, DWORD memberIndex, SP_DEVINFO_DATA* record) override {
        return ::SetupDiEnumDeviceInfo(set, memberIndex, record);
    }
    BOOL SetupDiDestroyDeviceInfoList(HDEVINFO set) override { return ::SetupDiDestroyDeviceInfoList(set); }
    CONFIGRET CM_Get_Device_IDA(DEVINST node, PSTR buffer, ULONG bufferLength, ULONG flags) override {
        return ::CM_Get_Device_IDA(node, buffer, bufferLength, flags);
    }
    CONFIGRET CM_Get_DevNode_Status(ULONG* status, ULONG* problem, DEVINST node, ULONG flags) override {
        return ::CM_Get_DevNode_Status(status, problem, node, flags);
    }
    CONFIGRET CM_Get_First_Log_Conf(LOG_CONF* logConf, DEVINST node, ULONG flags) override {
        return ::CM_Get_First_Log_Conf(logConf, node, flags);
    }
    CONFIGRET CM_Get_Next_Res_Des(RES_DES* next, RES_DES current, RESOURCEID forResource, RESOURCEID* resourceId,
                                  ULONG flags) override {
        return ::CM_Get_Next_Res_Des(next, current, forResource, resourceId, flags);
    }
    CONFIGRET CM_Get_Res_Des_Data_Size(ULONG* size, RES_DES descriptor, ULONG flags) override {
        return ::CM_Get_Res_Des_Data_Size(size, descriptor, flags);
    }
    CONFIGRET CM_Get_Res_Des_Data(RES_DES descriptor, PVOID buffer, ULONG bufferLength, ULONG flags) override {
        return ::CM_Get_Res_Des_Data(descriptor, buffer, bufferLength, flags);
    }
    CONFIGRET CM_Free_Res_Des_Handle(RES_DES descriptor) override { return ::CM_Free_Res_Des_Handle(descriptor); }
    CONFIGRET CM_Free_Log_Conf_Handle(LOG_CONF logConf) override { return ::CM_Free_Log_Conf_Handle(logConf); }
    CONFIGRET CM_Get_Child(DEVINST* child, DEVINST node, ULONG flags) override {
        return ::CM_Get_Child(child, node, flags);
    }
    CONFIGRET CM_Get_Sibling(DEVINST* sibling, DEVINST node, ULONG flags) override {
        return ::CM_Get_Sibling(sibling, node, flags);
    }
    BOOL SetupDiGetDeviceRegistryPropertyA(HDEVINFO set, SP_DEVINFO_DATA* record, DWORD property, DWORD* valueType,
                                           BYTE* buffer, DWORD bufferSize, DWORD* requiredSize) override {
        return ::SetupDiGetDeviceRegistryPropertyA(set, record, property, valueType, buffer, bufferSize, requiredSize);
    }
    BOOL SetupDiGetDevicePropertyW(HDEVINFO set, SP_DEVINFO_DATA* record, const DEVPROPKEY* key,
                                   DEVPROPTYPE* valueType, BYTE* buffer, DWORD bufferSize, DWORD* requiredSize,
                                   DWORD flags) override {
        return ::SetupDiGetDevicePropertyW(set, record, key, valueType, buffer, bufferSize, requiredSize, flags);
    }
    LSTATUS RegGetValueA(HKEY key, LPCSTR subKey, LPCSTR value, DWORD flags, DWORD* valueType, PVOID data,
                         DWORD* dataSize) override {
        return ::RegGetValueA(key, subKey, value, flags, valueType, data, dataSize);
    }
    DWORD GetLastError() override { return ::GetLastError(); }
};

}  // namespace

iDeviceServices& platformDeviceServices() {
    static tWindowsDeviceServices services;
    return services;
}

}  // namespace nROOTSCOPE_1_0

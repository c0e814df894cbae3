#include "LinuxHostDeviceServices.h"

#include <utility>

namespace rootscope {

namespace {
constexpr std::uintptr_t kHostSet = 0x5e7f0000;
}  // namespace

// Until the kernel's trees are read, the host's database holds no nodes.
tLinuxHostDeviceServices::tLinuxHostDeviceServices(std::string root) : root_(std::move(root)) {}

HDEVINFO tLinuxHostDeviceServices::SetupDiGetClassDevsA(const GUID*, PCSTR, HWND, DWORD) {
    ++setsHeld_;
    return reinterpret_cast<HDEVINFO>(kHostSet);
}

BOOL tLinuxHostDeviceServices::SetupDiGetDeviceInfoListDetailA(HDEVINFO set, SP_DEVINFO_LIST_DETAIL_DATA_A*) {
    return set == reinterpret_cast<HDEVINFO>(kHostSet) ? TRUE : FALSE;
}

BOOL tLinuxHostDeviceServices::SetupDiEnumDeviceInfo(HDEVINFO, DWORD, SP_DEVINFO_DATA*) {
    return FALSE;
}

BOOL tLinuxHostDeviceServices::SetupDiDestroyDeviceInfoList(HDEVINFO set) {
    if (set != reinterpret_cast<HDEVINFO>(kHostSet) || setsHeld_ == 0) {
        return FALSE;
    }
    --setsHeld_;
    return TRUE;
}

CONFIGRET tLinuxHostDeviceServices::CM_Get_Device_IDA(DEVINST, PSTR, ULONG, ULONG) {
    return CR_NO_SUCH_DEVNODE;
}

CONFIGRET tLinuxHostDeviceServices::CM_Get_DevNode_Status(ULONG*, ULONG*, DEVINST, ULONG) {
    return CR_NO_SUCH_DEVNODE;
}

CONFIGRET tLinuxHostDeviceServices::CM_Get_First_Log_Conf(LOG_CONF*, DEVINST, ULONG) {
    return CR_NO_SUCH_DEVNODE;
}

CONFIGRET tLinuxHostDeviceServices::CM_Get_Next_Res_Des(RES_DES*, RES_DES, RESOURCEID, RESOURCEID*, ULONG) {
    return CR_INVALID_RES_DES;
}

CONFIGRET tLinuxHostDeviceServices::CM_Get_Res_Des_Data_Size(ULONG*, RES_DES, ULONG) {
    return CR_INVALID_RES_DES;
}

CONFIGRET tLinuxHostDeviceServices::CM_Get_Res_Des_Data(RES_DES, PVOID, ULONG, ULONG) {
    return CR_INVALID_RES_DES;
}

CONFIGRET tLinuxHostDeviceServices::CM_Free_Res_Des_Handle(RES_DES) {
    return CR_INVALID_RES_DES;
}

CONFIGRET tLinuxHostDeviceServices::CM_Free_Log_Conf_Handle(LOG_CONF) {
    return CR_INVALID_LOG_CONF;
}

iDeviceServices& platformDeviceServices() {
    static tLinuxHostDeviceServices services("/");
    return services;
}

}  // namespace rootscope

// SPDX-License-Identifier: MIT
// The real device database: SetupAPI and the configuration manager.
#include "DeviceServices.h"

namespace nROOTSCOPE_1_0 {

namespace {

// Each call of the seam is the Windows function of the same name.
#define ROOTSCOPE_CALL_WINDOWS(result, releases, name, kind, type, params, args, fills) \
    type name params override { return ::name args; }

class tWindowsDeviceServices final : public iDeviceServices {
public:
    ROOTSCOPE_DEVICE_CALLS(ROOTSCOPE_CALL_WINDOWS)
    DWORD GetLastError() override { return ::GetLastError(); }
};

#undef ROOTSCOPE_CALL_WINDOWS

}  // namespace

iDeviceServices& platformDeviceServices() {
    static tWindowsDeviceServices services;
    return services;
}

}  // namespace nROOTSCOPE_1_0

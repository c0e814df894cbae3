// SPDX-License-Identifier: MIT
#include "DeviceServices.h"

namespace nROOTSCOPE_1_0 {

namespace {
iDeviceServices* gInstalled = nullptr;
}  // namespace

iDeviceServices& deviceServices() {
    return gInstalled != nullptr ? *gInstalled : platformDeviceServices();
}

void useDeviceServices(iDeviceServices* services) {
    gInstalled = services;
}

tScopedDeviceServices::tScopedDeviceServices(iDeviceServices& services) : previous_(gInstalled) {
    gInstalled = &services;
}

tScopedDeviceServices::~tScopedDeviceServices() {
    gInstalled = previous_;
}

}  // namespace nROOTSCOPE_1_0

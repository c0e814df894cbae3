// SPDX-License-Identifier: MIT
// A PCI function's address: segment (domain), bus, device and function, as
// Linux names a function's directory ("0000:00:1c.0") and as Windows gives
// a device's bus number and address.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <tuple>

namespace nROOTSCOPE_1_0 {

struct tPciAddress {
    std::uint32_t domain = 0;
    std::uint32_t bus = 0;
    std::uint32_t device = 0;
    std::uint32_t function = 0;

    friend bool operator<(const tPciAddress& a, const tPciAddress& b) {
        return std::tie(a.domain, a.bus, a.device, a.function) < std::tie(b.domain, b.bus, b.device, b.function);
    }
    friend bool operator==(const tPciAddress& a, const tPciAddress& b) {
        return std::tie(a.domain, a.bus, a.device, a.function) == std::tie(b.domain, b.bus, b.device, b.function);
    }
};

// "DDDD:BB:dd.f", the domain in at least four hex digits, as the kernel
// writes it.
inline std::string formatPciAddress(const tPciAddress& address) {
    char text[32];
    std::snprintf(text, sizeof text, "%04x:%02x:%02x.%x", static_cast<unsigned>(address.domain),
                  static_cast<unsigned>(address.bus & 0xffu), static_cast<unsigned>(address.device & 0x1fu),
                  static_cast<unsigned>(address.function & 7u));
    return text;
}

}  // namespace nROOTSCOPE_1_0

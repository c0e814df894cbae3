// SPDX-License-Identifier: MIT
// The readers of what sysfs says of a PCI tree, over arbitrary bytes taken
// as lines: each line is read as a bus-number attribute, a slot address, a
// function's address and the first bytes of a configuration space.
//
// Each line is parsed from a heap block of exactly its size, so a read past
// it is caught. Checked: a bus number is accepted exactly when the line is
// decimal digits (less one newline) worth 0 to 255, and is that value; an
// accepted address or slot address has its fields in range and, printed in
// the kernel's format, parses back to the same fields; bridge buses come
// from bytes 0x19 and 0x1a of a type 1 or 2 header and nothing else.
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

#include "FuzzSupport.h"
#include "LinuxHostParsers.h"

namespace {

constexpr const char* kTarget = "pci_values";

void check(bool condition, const char* what) {
    nROOTSCOPE_1_0::fuzz::require(condition, kTarget, what);
}

std::string_view lessOneNewline(std::string_view text) {
    return !text.empty() && text.back() == '\n' ? text.substr(0, text.size() - 1) : text;
}

// Minimum width 4 for the domain, as the kernel prints it ("%04x").
std::string domainText(std::uint32_t domain) {
    char text[16];
    std::snprintf(text, sizeof text, "%04x", static_cast<unsigned>(domain));
    return text;
}

void checkBusNumber(std::string_view line) {
    const nROOTSCOPE_1_0::fuzz::tExactCopy copy(line);
    const std::optional<std::uint32_t> bus = nROOTSCOPE_1_0::busNumberAttribute(copy.view());
    const std::string_view digits = lessOneNewline(line);
    bool decimal = !digits.empty();
    std::uint64_t value = 0;
    for (char c : digits) {
        decimal = decimal && c >= '0' && c <= '9';
        value = value > 1000 ? value : value * 10 + static_cast<std::uint64_t>(c - '0');
    }
    check(bus.has_value() == (decimal && value <= 255), "a bus number is read against the rule");
    check(!bus || *bus == value, "a bus number reads as another value");
}

void checkAddresses(std::string_view line) {
    const nROOTSCOPE_1_0::fuzz::tExactCopy copy(line);
    if (const auto address = nROOTSCOPE_1_0::parsePciAddress(copy.view())) {
        check(address->bus <= 0xff && address->device <= 0x1f && address->function <= 7,
              "an address holds a field out of range");
        char text[48];
        std::snprintf(text, sizeof text, "%s:%02x:%02x.%x", domainText(address->domain).c_str(),
                      static_cast<unsigned>(address->bus), static_cast<unsigned>(address->device),
                      static_cast<unsigned>(address->function));
        const auto again = nROOTSCOPE_1_0::parsePciAddress(text);
        check(again && again->domain == address->domain && again->bus == address->bus &&
                  again->device == address->device && again->function == address->function,
              "an address printed as the kernel does parses to another");
    }
    if (const auto slot = nROOTSCOPE_1_0::parseSlotAddress(copy.view())) {
        char text[48];
        std::snprintf(text, sizeof text, "%s:%02x", domainText(slot->domain).c_str(), static_cast<unsigned>(slot->bus));
        std::string printed = text;
        if (slot->device) {
            check(*slot->device <= 0x1f, "a slot's device is out of range");
            std::snprintf(text, sizeof text, ":%02x", static_cast<unsigned>(*slot->device));
            printed += text;
        }
        check(slot->bus <= 0xff, "a slot's bus is out of range");
        const auto again = nROOTSCOPE_1_0::parseSlotAddress(printed);
        check(again && again->domain == slot->domain && again->bus == slot->bus && again->device == slot->device,
              "a slot address printed as the kernel does parses to another");
    }
}

void checkConfig(std::string_view line) {
    const nROOTSCOPE_1_0::fuzz::tExactCopy copy(line);
    const auto buses = nROOTSCOPE_1_0::bridgeBusesOfConfig(copy.view());
    const bool bridge = line.size() > 0x1a && ((static_cast<unsigned char>(line[0x0e]) & 0x7fu) == 1 ||
                                               (static_cast<unsigned char>(line[0x0e]) & 0x7fu) == 2);
    check(buses.has_value() == bridge, "bridge buses are read against the header type");
    check(!buses || (buses->secondary == static_cast<unsigned char>(line[0x19]) &&
                     buses->subordinate == static_cast<unsigned char>(line[0x1a])),
          "bridge buses come from other bytes");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    nROOTSCOPE_1_0::fuzz::forEachLine(input, [](std::string_view line) {
        checkBusNumber(line);
        checkAddresses(line);
    });
    checkConfig(input);
    return 0;
}

// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <optional>
#include <string>
#include <tuple>
#include <string_view>
#include <vector>

#include "LinuxHostParsers.h"

namespace nROOTSCOPE_1_0 {
namespace {

using namespace std::string_view_literals;

// ---- kernel-log records -------------------------------------------------

struct tRecordCase {
    std::string_view line;
    std::optional<std::string_view> text;
};

class KernelLogRecord : public testing::TestWithParam<tRecordCase> {};

TEST_P(KernelLogRecord, TakesTheTextAfterAWellFormedPrefix) {
    EXPECT_EQ(kernelLogRecordText(GetParam().line), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, KernelLogRecord,
    testing::Values(tRecordCase{"6,339,5140900,-;ACPI: bus type PCI registered", "ACPI: bus type PCI registered"},
                    tRecordCase{"4,12,90,c,caller=T1;text\n", "text"},
                    tRecordCase{"6,1,2,-;", ""},
                    tRecordCase{" SUBSYSTEM=pci", std::nullopt},   // continuation line
                    tRecordCase{" DEVICE=+pci:0000:00:00.0", std::nullopt},
                    tRecordCase{"ACPI: PCI Root Bridge [PC00]", std::nullopt},  // no prefix
                    tRecordCase{"6,339,5140900,-", std::nullopt},  // prefix without ';'
                    tRecordCase{"6,3 39;text", std::nullopt},      // blank inside the prefix
                    tRecordCase{"\xff\xfe;text", std::nullopt},
                    tRecordCase{"6,1\0;x"sv, std::nullopt},
                    tRecordCase{"6,1,2,-;text\0"sv, std::nullopt},  // a NUL after the prefix too
                    tRecordCase{"", std::nullopt}));

// ---- root-bridge announcements ------------------------------------------

struct tAnnouncementCase {
    std::string_view text;
    bool accepted;
    const char* name = "";
    std::uint32_t domain = 0;
    std::uint32_t first = 0;
    std::uint32_t last = 0;
};

class RootBridgeAnnouncement : public testing::TestWithParam<tAnnouncementCase> {};

TEST_P(RootBridgeAnnouncement, ReadsNameDomainAndBusRange) {
    const tAnnouncementCase& c = GetParam();
    const std::optional<tRootBridgeRange> range = parseRootBridgeAnnouncement(c.text);
    ASSERT_EQ(range.has_value(), c.accepted) << c.text;
    if (range) {
        EXPECT_EQ(range->name, c.name);
        EXPECT_EQ(range->domain, c.domain);
        EXPECT_EQ(range->first, c.first);
        EXPECT_EQ(range->last, c.last);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Accepted, RootBridgeAnnouncement,
    testing::Values(
        tAnnouncementCase{"ACPI: PCI Root Bridge [PC00] (domain 0000 [bus 00])", true, "PC00", 0, 0, 0},
        tAnnouncementCase{"ACPI: PCI Root Bridge [PCI0] (domain 0000 [bus 00-ff])", true, "PCI0", 0, 0, 0xff},
        tAnnouncementCase{"ACPI: PCI Root Bridge [PC01](domain 0001 [bus 00-3f])", true, "PC01", 1, 0, 0x3f},
        tAnnouncementCase{"ACPI: PCI Root Bridge [S0D1] (domain 0000 [bus 80-fe])", true, "S0D1", 0, 0x80, 0xfe},
        tAnnouncementCase{"ACPI: PCI Root Bridge [VMD0] (domain 10000 [bus e0-ff])", true, "VMD0", 0x10000, 0xe0,
                          0xff},
        tAnnouncementCase{"acpi: pci root bridge [pc00]  ( domain  000A\t[ bus  1-1F ] )", true, "pc00", 0xa, 1,
                          0x1f},
        tAnnouncementCase{"  ACPI: PCI Root Bridge [PCI0] (domain 0000 [bus 00-7f]) trailing", true, "PCI0", 0, 0,
                          0x7f}));

INSTANTIATE_TEST_SUITE_P(
    Refused, RootBridgeAnnouncement,
    testing::Values(tAnnouncementCase{"ACPI: PCI Root Bridge [PC00] (domain 0000)", false},
                    tAnnouncementCase{"ACPI: PCI Root Bridge [PC00] (domain 0000 [bus 20-10])", false},
                    tAnnouncementCase{"ACPI: PCI Root Bridge [PC00] (domain 0000 [bus 100-1ff])", false},
                    tAnnouncementCase{"ACPI: PCI Root Bridge [PC00] (domain 0000 [bus 00-", false},
                    tAnnouncementCase{"ACPI: PCI Root Bridge [PC00] (domain 0000 [bus 00-7f]", false},
                    tAnnouncementCase{"ACPI: PCI Root Bridge [PC00] (domain 123456789 [bus 00-7f])", false},
                    tAnnouncementCase{"ACPI: PCI Root Bridge [PC00 (domain 0000 [bus 00-7f])", false},
                    tAnnouncementCase{"ACPI: PCI Root Bridge [PC 0] (domain 0000 [bus 00-7f])", false},
                    tAnnouncementCase{"ACPI: PCI Root Bridge [] (domain 0000 [bus 00-7f])", false},
                    tAnnouncementCase{"ACPI: PCI Interrupt Link [LNKA] (IRQs 5 *10 11)", false},
                    tAnnouncementCase{"pci_bus 0000:00: root bus resource [bus 00-ff]", false},
                    tAnnouncementCase{"ACPI:PCI Root Bridge [PC00] (domain 0000 [bus 00-7f])", false},
                    tAnnouncementCase{"ACPI: PCI Root Bridge [PC00] (domain 0000 [bus 00-7f])"sv.substr(0, 40), false},
                    tAnnouncementCase{"ACPI: PCI Root Bridge [PC\0] (domain 0000 [bus 00-7f])"sv, false},
                    // bus numbers past a byte, and 20-digit numbers, are refused, not cut
                    tAnnouncementCase{"ACPI: PCI Root Bridge [PC00] (domain 0000 [bus 00-1ff])", false},
                    tAnnouncementCase{"ACPI: PCI Root Bridge [PC00] (domain 0000 [bus 100])", false},
                    tAnnouncementCase{"ACPI: PCI Root Bridge [PC00] (domain 0000 [bus 40-3f])", false},
                    tAnnouncementCase{"ACPI: PCI Root Bridge [PC00] (domain 00000000000000000000 [bus 00-ff])", false},
                    tAnnouncementCase{"ACPI: PCI Root Bridge [PC00] (domain 0000 [bus 00000000000000000000-ff])",
                                      false},
                    tAnnouncementCase{"ACPI: PCI Root Bridge [PC00] (domain 0000 [bus 00-f\0f])"sv, false},
                    // a NUL anywhere, even past the closing parenthesis
                    tAnnouncementCase{"ACPI: PCI Root Bridge [PC00] (domain 0000 [bus 00-3f])\0"sv, false},
                    tAnnouncementCase{"ACPI: PCI Root Bridge [PC00] (domain 0000 [bus 00-3f]) x\0y"sv, false},
                    tAnnouncementCase{"", false}));

// ---- /proc/iomem lines --------------------------------------------------

struct tWindowCase {
    std::string_view line;
    bool accepted;
    std::uint32_t domain = 0;
    std::uint32_t first = 0;
    std::uint32_t last = 0;
};

class ConfigWindowLine : public testing::TestWithParam<tWindowCase> {};

TEST_P(ConfigWindowLine, ReadsDomainAndBusRange) {
    const tWindowCase& c = GetParam();
    const std::optional<tBusWindow> window = parseConfigWindowLine(c.line);
    ASSERT_EQ(window.has_value(), c.accepted) << c.line;
    if (window) {
        EXPECT_EQ(window->domain, c.domain);
        EXPECT_EQ(window->first, c.first);
        EXPECT_EQ(window->last, c.last);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Lines, ConfigWindowLine,
    testing::Values(tWindowCase{"  eec00000-eecfffff : PCI ECAM 0000 [bus 00-00]", true, 0, 0, 0},
                    tWindowCase{"e0000000-efffffff : PCI MMCONFIG 0000 [bus 00-ff]", true, 0, 0, 0xff},
                    tWindowCase{"00000000-00000000 : PCI MMCONFIG 0001 [bus 00-7f]", true, 1, 0, 0x7f},
                    tWindowCase{"    3f000000-3fffffff : pci ecam 000a [bus 10-1F]", true, 0xa, 0x10, 0x1f},
                    tWindowCase{"e0000000-efffffff : PCI ECAM  0000  [bus 00-1f]  ", true, 0, 0, 0x1f},
                    tWindowCase{"e0000000-efffffff : PCI ECAM 0000 [bus 05]", true, 0, 5, 5},
                    tWindowCase{"e0000000-efffffff : PCI Bus 0000:00", false},
                    tWindowCase{"e0000000-efffffff : PCI ECAM 0000", false},
                    tWindowCase{"e0000000-efffffff : PCI ECAM 0000 [bus 00-zz]", false},
                    tWindowCase{"e0000000-efffffff : PCI ECAM 0000 [bus ff-00]", false},
                    tWindowCase{"e0000000-efffffff : PCI ECAM 0000 [bus 00-ff] Reserved", false},
                    tWindowCase{"e0000000-efffffff : PCI ECAMX 0000 [bus 00-ff]", false},
                    tWindowCase{"PCI ECAM 0000 [bus 00-ff]", false},  // not an iomem line
                    tWindowCase{"  e0000000-efffffff : Reserved", false},
                    tWindowCase{"\0\0 : PCI ECAM \0 [bus 00-ff]"sv, false},
                    // the addresses are never read, however long; the bus range is
                    tWindowCase{"18446744073709551616-99999999999999999999 : PCI MMCONFIG 0001 [bus 00-2d]", true, 1,
                                0, 0x2d},
                    tWindowCase{"e0000000-efffffff : PCI ECAM 0000 [bus 00-1ff]", false},
                    tWindowCase{"e0000000-efffffff : PCI ECAM 0000 [bus 100]", false},
                    tWindowCase{"e0000000-efffffff : PCI ECAM 0000 [bus 40-3f]", false},
                    tWindowCase{"e0000000-efffffff : PCI ECAM 00000000000000000001 [bus 00-ff]", false},
                    tWindowCase{"e0000000-efffffff : PCI ECAM 0001\0 [bus 00-ff]"sv, false},
                    tWindowCase{"e0000\0000-efffffff : PCI ECAM 0001 [bus 00-ff]"sv, false},  // in the address
                    tWindowCase{"e0000000-efffffff : PCI ECAM 0001 [bus 00-", false},
                    tWindowCase{"", false}));

// ---- host-bridge names --------------------------------------------------

struct tHostBridgeCase {
    std::string_view name;
    bool accepted;
    std::uint32_t domain = 0;
    std::uint32_t bus = 0;
};

class HostBridgeName : public testing::TestWithParam<tHostBridgeCase> {};

TEST_P(HostBridgeName, ReadsDomainAndRootBus) {
    const tHostBridgeCase& c = GetParam();
    const std::optional<tRootBus> bus = parseHostBridgeName(c.name);
    ASSERT_EQ(bus.has_value(), c.accepted) << c.name;
    if (bus) {
        EXPECT_EQ(bus->domain, c.domain);
        EXPECT_EQ(bus->bus, c.bus);
    }
}

INSTANTIATE_TEST_SUITE_P(Names, HostBridgeName,
                         testing::Values(tHostBridgeCase{"pci0000:00", true, 0, 0},
                                         tHostBridgeCase{"pci0001:3A", true, 1, 0x3a},
                                         tHostBridgeCase{"pci10000:e0", true, 0x10000, 0xe0},
                                         tHostBridgeCase{"pci0000:zz", false}, tHostBridgeCase{"pci000:00", false},
                                         tHostBridgeCase{"pci0000:000", false}, tHostBridgeCase{"pci0000:0", false},
                                         tHostBridgeCase{"pci0000", false}, tHostBridgeCase{"PCI0000:00", false},
                                         tHostBridgeCase{"pci0000:00x", false},
                                         tHostBridgeCase{"0000:00:00.0", false},
                                         tHostBridgeCase{"pci123456789:00", false}, tHostBridgeCase{"", false}));

// ---- attribute values ---------------------------------------------------

// "DDDD:BB:dd.f" of a PCI function, and what the kernel writes of a bus or a
// slot: each accepted value as read, "-" for a refusal.
std::string shown(const std::optional<tPciAddress>& a) {
    return a ? std::to_string(a->domain) + "/" + std::to_string(a->bus) + "/" + std::to_string(a->device) + "/" +
                   std::to_string(a->function)
             : "-";
}
std::string shown(const std::optional<tSlotAddress>& a) {
    return a ? std::to_string(a->domain) + "/" + std::to_string(a->bus) +
                   (a->device ? "/" + std::to_string(*a->device) : std::string())
             : "-";
}
std::string shown(const std::optional<std::uint32_t>& n) {
    return n ? std::to_string(*n) : "-";
}
std::string shown(const std::optional<tBusWindow>& w) {
    return w ? std::to_string(w->domain) + "/" + std::to_string(w->first) + "-" + std::to_string(w->last) : "-";
}

TEST(PciTexts, AddressesBusNumbersAndSlotAddresses) {
    const std::pair<std::string_view, std::string> addresses[] = {
        {"0000:00:1c.0", "0/0/28/0"}, {"10000:e1:00.7", "65536/225/0/7"}, {"0000:00:1c.8", "-"},
        {"0000:00:20.0", "-"},        {"0000:0:1c.0", "-"},               {"000:00:1c.0", "-"},
        {"0000:00:1c", "-"},          {"0000:00:1c.0\n", "-"},            {"pci0000:00", "-"},
        {"0000:00:1c.0"sv.substr(0, 11), "-"}, {"0000:00:1c.\0"sv, "-"}, {"", "-"}};
    for (const auto& [text, expected] : addresses) {
        EXPECT_EQ(shown(parsePciAddress(text)), expected) << text;
    }
    const std::pair<std::string_view, std::string> buses[] = {
        {"0\n", "0"}, {"255\n", "255"}, {"17", "17"}, {"256\n", "-"}, {"-1\n", "-"}, {"0x10\n", "-"},
        {"18446744073709551617\n", "-"}, {"1 \n", "-"}, {"1\n\n", "-"}, {"", "-"}, {"\n", "-"}, {"2\0"sv, "-"}};
    for (const auto& [text, expected] : buses) {
        EXPECT_EQ(shown(busNumberAttribute(text)), expected) << text;
    }
    const std::pair<std::string_view, std::string> slots[] = {
        {"0000:02:00\n", "0/2/0"}, {"0001:80\n", "1/128"}, {"10000:e1:1f", "65536/225/31"}, {"0000:02:20", "-"},
        {"0000:02:00.0", "-"},     {"0000:2:00", "-"},      {"0000:02:", "-"},             {"0000", "-"},
        {"0000:02:00\n\n", "-"},   {"0000:0\02:00"sv, "-"}, {"", "-"}};
    for (const auto& [text, expected] : slots) {
        EXPECT_EQ(shown(parseSlotAddress(text)), expected) << text;
    }
    const std::pair<std::string_view, std::string> classes[] = {
        {"0x060400\n", "394240"}, {"0x0C0330", "787248"}, {"0x60400", "-"}, {"0x0604000", "-"},
        {"060400", "-"},          {"0x06040g", "-"},     {"", "-"}};
    for (const auto& [text, expected] : classes) {
        EXPECT_EQ(shown(pciClassAttribute(text)), expected) << text;
    }
    EXPECT_TRUE(isBridgeClass(0x060400));
    EXPECT_TRUE(isBridgeClass(0x060401));
    EXPECT_TRUE(isBridgeClass(0x060700));
    EXPECT_FALSE(isBridgeClass(0x060000));
    EXPECT_FALSE(isBridgeClass(0x068000));
}

TEST(PciTexts, BridgeBusesFromTheFirstBytesOfConfigurationSpace) {
    std::string config(64, '\0');
    config[0x0e] = '\x81';  // a multi-function bridge: the low 7 bits say type 1
    config[0x18] = '\x00';
    config[0x19] = '\x02';
    config[0x1a] = '\xfe';
    ASSERT_TRUE(bridgeBusesOfConfig(config).has_value());
    EXPECT_EQ(bridgeBusesOfConfig(config)->secondary, 2u);
    EXPECT_EQ(bridgeBusesOfConfig(config)->subordinate, 254u);
    config[0x0e] = '\x02';  // CardBus: the same two bytes
    EXPECT_TRUE(bridgeBusesOfConfig(config).has_value());
    config[0x0e] = '\x00';  // an ordinary function
    EXPECT_FALSE(bridgeBusesOfConfig(config).has_value());
    config[0x0e] = '\x01';
    EXPECT_FALSE(bridgeBusesOfConfig(std::string_view(config).substr(0, 0x1a)).has_value());  // cut before 0x1a
    EXPECT_TRUE(bridgeBusesOfConfig(std::string_view(config).substr(0, 0x1b)).has_value());
}

TEST(RootBusResource, ReadsTheBusRangeOfAHostBridge) {
    const std::pair<std::string_view, std::string> lines[] = {
        {"pci_bus 0000:00: root bus resource [bus 00-ff]", "0/0-255"},
        {"pci_bus 0000:00: root bus resource [bus 00]", "0/0-0"},
        {"pci_bus 10000:e0: root bus resource [bus e0-ff]", "65536/224-255"},
        {"PCI_BUS 0001:80:  Root Bus Resource [bus 80-bf]  ", "1/128-191"},
        {"pci_bus 0000:00: root bus resource [bus 01-ff]", "-"},  // not the bus it names
        {"pci_bus 0000:00: root bus resource [io  0x0000-0x0cf7 window]", "-"},
        {"pci_bus 0000:00: root bus resource [bus 00-1ff]", "-"},
        {"pci_bus 0000:00: root bus resource [bus 00-ff] x", "-"},
        {"pci_bus 0000:00: root bus resource [bus 00-ff]\0"sv, "-"},
        {"pci 0000:00: root bus resource [bus 00-ff]", "-"},
        {"pci_bus 0000:0: root bus resource [bus 00-ff]", "-"},
        {"", "-"}};
    for (const auto& [text, expected] : lines) {
        EXPECT_EQ(shown(parseRootBusResource(text)), expected) << text;
    }
    const tBusResourceRanges index({{0, 0x00, 0x3f}, {0, 0x40, 0x7f}, {0, 0x00, 0x1f}, {0x100, 0x00, 0x0f}});
    EXPECT_EQ(shown(index.busEnd({0, 0x00})), "31");  // the later line counts
    EXPECT_EQ(shown(index.busEnd({0, 0x40})), "127");
    EXPECT_EQ(shown(index.busEnd({0x100, 0x00})), "15");
    EXPECT_EQ(shown(index.busEnd({1, 0x00})), "-");
    EXPECT_EQ(shown(index.busEnd({0, 0x41})), "-");
}

TEST(AcpiBusIdOfPath, TakesTheLastNameSegmentAsTheKernelShortensIt) {
    EXPECT_EQ(acpiBusIdOfPath("\\_SB_.PC00\n"), "PC00");
    EXPECT_EQ(acpiBusIdOfPath("\\_SB_.PCI0.RP01"), "RP01");
    EXPECT_EQ(acpiBusIdOfPath("\\_SB_"), "_SB");
    EXPECT_EQ(acpiBusIdOfPath("\\_SB_.PC0_\n"), "PC0");
    EXPECT_EQ(acpiBusIdOfPath("\\_SB_.PC__"), "PC");
    EXPECT_EQ(acpiBusIdOfPath("\\_SB_.P___"), "P_");  // position 1 is kept
    EXPECT_EQ(acpiBusIdOfPath("\\_SB_.P_0_"), "P_0");
    EXPECT_EQ(acpiBusIdOfPath("\\_SB_._0__"), "_0");
    EXPECT_EQ(acpiBusIdOfPath("\\_SB_.PC_"), "PC_");   // not four bytes: nothing dropped
    EXPECT_EQ(acpiBusIdOfPath("\\_SB_.PC00_"), "PC00_");
    EXPECT_EQ(acpiBusIdOfPath("\\"), std::nullopt);
    EXPECT_EQ(acpiBusIdOfPath("\\_SB_."), std::nullopt);
    EXPECT_EQ(acpiBusIdOfPath(""), std::nullopt);
    EXPECT_EQ(acpiBusIdOfPath("\\_SB_.P C0"), std::nullopt);
    EXPECT_EQ(acpiBusIdOfPath("\\_SB_.PC00LONGNAME"), std::nullopt);
    EXPECT_EQ(acpiBusIdOfPath("\0\xff\xfe\n"sv), std::nullopt);
}

TEST(DecimalAttribute, ReadsDigitsOnlyWithinSixtyFourBits) {
    EXPECT_EQ(decimalAttribute("15\n"), 15u);
    EXPECT_EQ(decimalAttribute("0"), 0u);
    EXPECT_EQ(decimalAttribute("18446744073709551615"), ~std::uint64_t{0});
    EXPECT_EQ(decimalAttribute("18446744073709551616"), std::nullopt);
    EXPECT_EQ(decimalAttribute(""), std::nullopt);
    EXPECT_EQ(decimalAttribute("\n"), std::nullopt);
    EXPECT_EQ(decimalAttribute("-1"), std::nullopt);
    EXPECT_EQ(decimalAttribute("0x0f"), std::nullopt);
    EXPECT_EQ(decimalAttribute(" 15"), std::nullopt);
    EXPECT_EQ(decimalAttribute("15\n\n"), std::nullopt);
    EXPECT_EQ(decimalAttribute("00000000000000000015\n"), 15u);  // leading zeros do not overflow
    EXPECT_EQ(decimalAttribute("15\0\n"sv), std::nullopt);
}

// ---- the instance-ID rule, from raw attribute bytes ---------------------

struct tIdCase {
    std::optional<std::string_view> hid;  // raw file contents; nullopt: no file
    std::optional<std::string_view> uid;
    std::string_view entry;
    std::string id;
};

class InstanceIdRule : public testing::TestWithParam<tIdCase> {};

TEST_P(InstanceIdRule, UsesCleanAttributesAndFallsBackOtherwise) {
    const tIdCase& c = GetParam();
    const std::optional<std::string> hid = c.hid ? idAttribute(*c.hid) : std::nullopt;
    const std::optional<std::string> uid = c.uid ? idAttribute(*c.uid) : std::nullopt;
    const std::string id = makeInstanceId(hid, uid, c.entry);
    EXPECT_EQ(id, c.id);
}

const std::string k64(64, 'A');
const std::string k65(65, 'A');
const std::string k200(200, 'B');

INSTANTIATE_TEST_SUITE_P(
    Rule, InstanceIdRule,
    testing::Values(
        tIdCase{"PNP0A08\n", "0\n", "PNP0A08:00", "ACPI\\PNP0A08\\0"},
        tIdCase{"PNP0A03\n", "PCI0\n", "PNP0A03:00", "ACPI\\PNP0A03\\PCI0"},
        // uid missing, or unusable: the entry's instance number in decimal
        tIdCase{"PNP0A08\n", std::nullopt, "PNP0A08:01", "ACPI\\PNP0A08\\1"},
        tIdCase{"PNP0A08\n", std::nullopt, "PNP0A08:0a", "ACPI\\PNP0A08\\10"},
        tIdCase{"PNP0A08\n", "a\\b\n", "PNP0A08:00", "ACPI\\PNP0A08\\0"},
        tIdCase{"PNP0A08\n", "a b\n", "PNP0A08:02", "ACPI\\PNP0A08\\2"},
        tIdCase{"PNP0A08\n", "a,b\n", "PNP0A08:03", "ACPI\\PNP0A08\\3"},
        tIdCase{"PNP0A08\n", "0\r\n", "PNP0A08:04", "ACPI\\PNP0A08\\4"},
        tIdCase{"PNP0A08\n", "\n", "PNP0A08:05", "ACPI\\PNP0A08\\5"},
        tIdCase{"PNP0A08\n", "0\0\n"sv, "PNP0A08:06", "ACPI\\PNP0A08\\6"},
        tIdCase{"PNP0A08\n", "\xc3\xa9\n", "PNP0A08:07", "ACPI\\PNP0A08\\7"},
        tIdCase{"PNP0A08\n", k65, "PNP0A08:1f", "ACPI\\PNP0A08\\31"},
        tIdCase{"PNP0A08\n", k64, "PNP0A08:00", "ACPI\\PNP0A08\\" + k64},
        // no instance number in the name: the sanitised name stands in
        tIdCase{"PNP0A08\n", std::nullopt, "PNP0A08:zz", "ACPI\\PNP0A08\\PNP0A08:zz"},
        tIdCase{"PNP0A08\n", std::nullopt, "PNP0A08:", "ACPI\\PNP0A08\\PNP0A08:"},
        tIdCase{"PNP0A08\n", std::nullopt, "PNP0A08:123456789", "ACPI\\PNP0A08\\PNP0A08:123456789"},
        tIdCase{"PNP0A08\n", std::nullopt, "odd name", "ACPI\\PNP0A08\\odd_name"},
        // hid missing or unusable: "ACPI\" + the sanitised entry name
        tIdCase{std::nullopt, "0\n", "PNP0A08:00", "ACPI\\PNP0A08:00"},
        tIdCase{"PNP0A08\0\1\2\n"sv, "4\n", "PNP0A08:04", "ACPI\\PNP0A08:04"},
        tIdCase{"PNP\\0A08\n", "0\n", "PNP0A08:00", "ACPI\\PNP0A08:00"},
        tIdCase{k65, "0\n", "LONG:00", "ACPI\\LONG:00"},
        tIdCase{std::nullopt, std::nullopt, "a\\b c,\x01", "ACPI\\a_b_c__"},
        tIdCase{std::nullopt, std::nullopt, "", "ACPI\\_"},
        tIdCase{std::nullopt, std::nullopt, k200, "ACPI\\" + k200.substr(0, 64)},
        tIdCase{k64, k64, "X:00", "ACPI\\" + k64 + "\\" + k64}));

// ---- choosing a root bus's range ----------------------------------------

TEST(KernelLogBusEnd, MatchesNameDomainAndFirstBusAndTakesTheLatest) {
    const tAnnouncedRanges log({
        {"PC00", 0, 0x00, 0x7f}, {"PC01", 0, 0x80, 0xff}, {"PC00", 1, 0x00, 0x3f}, {"PC02", 0, 0x40, 0x4f},
        {"PC02", 0, 0x40, 0x5f},  // a later probe of the same bridge
        {"PC03", 0x100, 0x00, 0x1f}, {"PC03", 0x1, 0x00, 0x2f},  // domains that differ only above the low byte
    });
    const auto kernelLogBusEnd = [](const tAnnouncedRanges& ranges, std::string_view name, tRootBus bus) {
        return ranges.busEnd(name, bus);
    };
    EXPECT_EQ(kernelLogBusEnd(log, "PC00", {0, 0x00}), 0x7fu);
    EXPECT_EQ(kernelLogBusEnd(log, "pc00", {0, 0x00}), 0x7fu);
    EXPECT_EQ(kernelLogBusEnd(log, "PC00", {1, 0x00}), 0x3fu);
    EXPECT_EQ(kernelLogBusEnd(log, "PC01", {0, 0x80}), 0xffu);
    EXPECT_EQ(kernelLogBusEnd(log, "PC02", {0, 0x40}), 0x5fu);
    EXPECT_EQ(kernelLogBusEnd(log, "PC01", {0, 0x81}), std::nullopt);  // inside, but not its first bus
    EXPECT_EQ(kernelLogBusEnd(log, "PC01", {1, 0x80}), std::nullopt);
    EXPECT_EQ(kernelLogBusEnd(log, "PC09", {0, 0x00}), std::nullopt);
    EXPECT_EQ(kernelLogBusEnd(log, "", {0, 0x00}), std::nullopt);
    EXPECT_EQ(kernelLogBusEnd(tAnnouncedRanges({}), "PC00", {0, 0x00}), std::nullopt);
    EXPECT_EQ(kernelLogBusEnd(log, "PC03", {0x100, 0x00}), 0x1fu);
    EXPECT_EQ(kernelLogBusEnd(log, "PC03", {0x1, 0x00}), 0x2fu);
    EXPECT_EQ(kernelLogBusEnd(log, "PC00", {0, 0x100}), std::nullopt);  // no such bus, whatever its low byte
}

struct tWindowEndCase {
    tRootBus bus;
    std::optional<std::uint32_t> end;
};

class ConfigWindowBusEnd : public testing::TestWithParam<tWindowEndCase> {};

TEST_P(ConfigWindowBusEnd, StopsBelowTheNextRootBusOfTheSameDomain) {
    const std::vector<tBusWindow> windows = {
        {0, 0x00, 0xff}, {1, 0x00, 0x7f}, {2, 0x10, 0x1f}, {2, 0x00, 0xff},  // domain 2: first holding window wins
        {4, 0x00, 0x40},                                                      // next root bus at the window's end
    };
    // listed out of bus order on purpose
    const std::vector<tRootBus> roots = {{0, 0x80}, {1, 0x40}, {0, 0x00}, {0, 0x40}, {1, 0x00}, {0, 0x81}, {4, 0x40}};
    EXPECT_EQ(tWindowRanges(windows, roots).busEnd(GetParam().bus), GetParam().end);
}

INSTANTIATE_TEST_SUITE_P(Buses, ConfigWindowBusEnd,
                         testing::Values(tWindowEndCase{{0, 0x00}, 0x3fu}, tWindowEndCase{{0, 0x40}, 0x7fu},
                                         tWindowEndCase{{0, 0x80}, 0x80u},  // next root bus right above
                                         tWindowEndCase{{0, 0x81}, 0xffu}, tWindowEndCase{{1, 0x00}, 0x3fu},
                                         tWindowEndCase{{1, 0x40}, 0x7fu},  // domain 0's 0x80 does not clip
                                         tWindowEndCase{{1, 0x80}, std::nullopt},  // outside every window
                                         tWindowEndCase{{2, 0x18}, 0x1fu}, tWindowEndCase{{2, 0x05}, 0xffu},
                                         tWindowEndCase{{3, 0x00}, std::nullopt},
                                         tWindowEndCase{{4, 0x00}, 0x3fu}, tWindowEndCase{{4, 0x40}, 0x40u}));

// ---- address resources ----------------------------------------------------

const char* kindText(tAddressKind kind) {
    return kind == tAddressKind::kIo ? "io" : kind == tAddressKind::kMemory ? "mem" : "pref";
}

std::string hexOf(std::uint64_t value) {
    char text[24];
    std::snprintf(text, sizeof text, "%llx", static_cast<unsigned long long>(value));
    return text;
}

// A resource file as the kernel writes one: `count` lines, those given set.
std::string resourceFile(std::size_t count, std::vector<std::tuple<std::size_t, std::uint64_t, std::uint64_t,
                                                                    std::uint64_t>> lines) {
    std::vector<std::array<std::uint64_t, 3>> values(count, {0, 0, 0});
    for (const auto& [index, start, end, flags] : lines) {
        values[index] = {start, end, flags};
    }
    std::string text;
    for (const auto& [start, end, flags] : values) {
        char line[64];
        std::snprintf(line, sizeof line, "0x%016llx 0x%016llx 0x%016llx\n", static_cast<unsigned long long>(start),
                      static_cast<unsigned long long>(end), static_cast<unsigned long long>(flags));
        text += line;
    }
    return text;
}

// "LAYOUT | NAME KIND[64] FIRST-LAST, ... | refused: ...", or "! reason".
std::string shownFile(std::string_view text, bool cardBus = false) {
    std::string reason;
    const std::optional<tResourceFile> file = parseResourceFile(text, cardBus, reason);
    if (!file) {
        return "! " + reason;
    }
    std::string shown = std::string(file->sriov ? "sriov" : "-") + (file->windowLines ? " windows |" : " |");
    for (const tFunctionResource& r : file->resources) {
        shown += " " + r.name + " " + kindText(r.kind) + (r.is64 ? "64 " : " ") + hexOf(r.first) + "-" + hexOf(r.last) +
                 (r.window ? "" : "#" + std::to_string(r.index)) + ",";
    }
    for (const std::string& refused : file->refused) {
        shown += " refused " + refused + ";";
    }
    return shown;
}

TEST(ResourceFile, TellsTheLayoutByItsLineCountAndTypesWindowsByTheirPlace) {
    constexpr std::uint64_t kPref64 = 0x14220c;
    constexpr std::uint64_t kMem = 0x40200;
    constexpr std::uint64_t kIo = 0x40101;
    constexpr std::uint64_t kRom = 0x46200;
    const std::pair<std::string, std::string> cases[] = {
        {resourceFile(7, {{0, 0x6000000000, 0x63ffffffff, kPref64}, {2, 0xfb000000, 0xfbffffff, kMem},
                          {4, 0xe000, 0xe07f, kIo}, {6, 0xfc000000, 0xfc07ffff, kRom}}),
         "- | BAR 0 pref64 6000000000-63ffffffff#0, BAR 2 mem fb000000-fbffffff#2, BAR 4 io e000-e07f#4, "
         "ROM pref fc000000-fc07ffff#6,"},
        // SR-IOV: seven virtual functions of 16 KiB each, no power of two together
        {resourceFile(13, {{0, 0xfa000000, 0xfa01ffff, 0x140204}, {7, 0xfa100000, 0xfa11bfff, 0x140204}}),
         "sriov | BAR 0 mem64 fa000000-fa01ffff#0, VF BAR 0 mem64 fa100000-fa11bfff#7,"},
        // a bridge: its windows by place, whatever their flags (an old kernel's
        // 0x1000 prefetchable, a zero I/O window)
        {resourceFile(11, {{7, 0x1000, 0x1fff, 0x101}, {8, 0x90000000, 0x905fffff, 0}, {9, 0x7800000000, 0x78107fffff,
                                                                                        0x101200}}),
         "- windows | bridge window io 1000-1fff, bridge window mem 90000000-905fffff, "
         "bridge window pref64 7800000000-78107fffff,"},
        {resourceFile(12, {{8, 0x90000000, 0x900fffff, 0x200}, {11, 0x1000, 0x1fff, 0x200}}),
         "- windows | bridge window mem 90000000-900fffff,"},
        {resourceFile(17, {{13, 0, 0, 0x101}, {14, 0x90000000, 0x905fffff, 0x200},
                           {15, 0x6000000000, 0x60001fffff, 0x20102201}}),  // 6.18: unset, kept its flags
         "sriov windows | bridge window mem 90000000-905fffff,"},
        {resourceFile(18, {{0, 0xfe900000, 0xfe903fff, 0x40200}, {15, 0x6000000000, 0x60001fffff, 0x102201}}),
         "sriov windows | BAR 0 mem fe900000-fe903fff#0, bridge window pref64 6000000000-60001fffff,"},
        // BARs that hold nothing: unset, disabled, at address 0 (before
        // IORESOURCE_UNSET), ending at 0
        {resourceFile(7, {{0, 0, 0x1fffff, 0x20040200}, {1, 0xfb000000, 0xfb1fffff, 0x10040200},
                          {2, 0, 0xfffff, 0x40200}, {3, 0x1000, 0, 0x40200}}),
         "- |"},
        // an old kernel's prefetchable bit, and an Enhanced Allocation entry of any size
        {resourceFile(7, {{0, 0xd0000000, 0xdfffffff, 0x1200}, {2, 0xfb000000, 0xfb002fff, 0x40220}}),
         "- | BAR 0 pref d0000000-dfffffff#0, BAR 2 mem fb000000-fb002fff#2,"},
        // lines refused, the rest kept
        {resourceFile(11, {{0, 0xfb000000, 0xfb002fff, kMem}, {1, 0xfb100000, 0xfb0fffff, kMem},
                           {2, 0xfb200000, 0xffffffffffffffff, kMem}, {3, 0xfb300000, 0xfb300fff, 0x400},
                           {4, 0xfb400000, 0xfb400fff, 0x300}, {8, 0x90000000, 0x8fffffff, 0x200}, {6, 0xfc000000,
                                                                                                   0xfc07ffff, kRom}}),
         "- windows | ROM pref fc000000-fc07ffff#6, refused BAR 0: its size 0x3000 is no power of two; refused BAR 1: "
         "it starts at 0xfb100000, above its end 0xfb0fffff; refused BAR 2: it ends at 2^64 - 1, where no range can "
         "end; refused BAR 3: its flags 0x400 say neither I/O nor memory; refused BAR 4: its flags 0x300 say neither "
         "I/O nor memory; refused bridge window: it starts at 0x90000000, above its end 0x8fffffff;"},
    };
    for (const auto& [text, expected] : cases) {
        EXPECT_EQ(shownFile(text), expected) << text;
    }
    // A CardBus bridge's windows: I/O, I/O, memory, memory, by their flags.
    EXPECT_EQ(shownFile(resourceFile(11, {{7, 0x2000, 0x20ff, 0x100}, {8, 0x2400, 0x24ff, 0x100},
                                          {10, 0x94000000, 0x97ffffff, 0x1200}}),
                        true),
              "- windows | bridge window io 2000-20ff, bridge window io 2400-24ff, bridge window pref 94000000-97ffffff,");
}

TEST(ResourceFile, RefusesAWholeFileOfAnotherShape) {
    const std::string seven = resourceFile(7, {});
    const std::string line = seven.substr(0, 57);
    std::string upper = seven;
    upper[1] = 'X';
    std::string nul = seven;
    nul[100] = '\0';
    const std::pair<std::string, std::string> cases[] = {
        {"", "! it is empty"},
        {seven.substr(0, seven.size() - 1), "! its last line has no end"},
        {seven + line, "! it has 8 lines, where the kernel writes 7, 11, 12, 13, 17 or 18"},
        {resourceFile(18, {}) + line + std::string(10 << 20, 'x') + "\n", "! it has more than 18 lines"},
        {upper, "! line 1 is not three numbers of 16 hex digits"},
        {nul, "! it holds a NUL"},
        {seven.substr(0, 57 * 6) + "0x00000000000000000 0x0000000000000000 0x0000000000000000\n",
         "! line 7 is not three numbers of 16 hex digits"},
        {seven.substr(0, 57 * 6) + "0x0000000000000000  0x000000000000000 0x0000000000000000\n",
         "! line 7 is not three numbers of 16 hex digits"},
    };
    for (const auto& [text, expected] : cases) {
        EXPECT_EQ(shownFile(text), expected) << text.substr(0, 200);
    }
}

TEST(ResourceFile, NamesResourcesByTheKernelsNumbers) {
    EXPECT_EQ(resourceName(5, std::nullopt), "BAR 5");
    EXPECT_EQ(resourceName(6, false), "ROM");
    EXPECT_EQ(resourceName(7, true), "VF BAR 0");
    EXPECT_EQ(resourceName(12, true), "VF BAR 5");
    EXPECT_EQ(resourceName(13, true), "bridge window");
    EXPECT_EQ(resourceName(7, false), "bridge window");
    EXPECT_EQ(resourceName(11, false), "resource 11");
    EXPECT_EQ(resourceName(7, std::nullopt), "resource 7");
}

TEST(ResourceFile, ResizableBarSizesAndBridgeWindowsFromConfig) {
    const std::pair<std::string_view, std::string> bitmaps[] = {
        {"00000000000001c0\n", "10000000"},     // 64, 128, 256 MiB
        {"0000000000003f00", "200000000"},      // up to 8 GiB
        {"00000800000000000\n", "!"},           // 17 digits
        {"00000000000001c\n", "!"},             // 15
        {"0000000000000000\n", "-"},            // none
        {"0000080000000000\n", "8000000000000000"},  // bit 43: 2^63
        {"0000100000000000\n", "!"},            // bit 44: 2^64
        {"00000000000001c0\n\0"sv, "!"},
    };
    for (const auto& [raw, expected] : bitmaps) {
        std::string reason;
        const std::optional<std::uint64_t> size = resizableBarMaximum(raw, reason);
        EXPECT_EQ(size ? hexOf(*size) : reason.empty() ? "-" : "!", expected) << raw;
    }

    // config bytes 0x1c..0x2f and 0x30..0x33 as they are in the header
    const auto windows = [](std::vector<std::pair<std::size_t, unsigned>> bytes, std::size_t size = 64) {
        std::string config(size, '\0');
        config[0x0e] = '\x01';
        for (const auto& [at, value] : bytes) {
            config[at] = static_cast<char>(value);
        }
        const std::optional<tConfigWindows> decoded = bridgeWindowsOfConfig(config);
        if (!decoded) {
            return std::string("none");
        }
        std::string shown;
        for (const tAddressWindow& w : decoded->windows) {
            shown += std::string(kindText(w.kind)) + " " + hexOf(w.first) + "-" + hexOf(w.last) + ", ";
        }
        for (const std::string& refused : decoded->refused) {
            shown += refused;
        }
        return shown;
    };
    EXPECT_EQ(windows({}), "");  // all zero: nothing implemented or given
    EXPECT_EQ(windows({{0x1c, 0x20}, {0x1d, 0x30}, {0x20, 0x00}, {0x21, 0x90}, {0x22, 0x50}, {0x23, 0x90},
                       {0x24, 0x01}, {0x25, 0x00}, {0x26, 0x11}, {0x27, 0x00}, {0x28, 0x60}, {0x2c, 0x60}}),
              "io 2000-3fff, mem 90000000-905fffff, pref 6000000000-60001fffff, ");
    EXPECT_EQ(windows({{0x1c, 0x01}, {0x1d, 0x01}, {0x30, 0x01}, {0x32, 0x01}}), "io 10000-10fff, ");  // 32-bit I/O
    EXPECT_EQ(windows({{0x1c, 0xf0}, {0x20, 0xf0}, {0x21, 0xff}, {0x24, 0xf1}, {0x25, 0xff}}), "");  // closed
    EXPECT_EQ(windows({{0x24, 0x01}, {0x26, 0xf1}, {0x27, 0xff}, {0x28, 0x00}, {0x2c, 0xff}, {0x2d, 0xff},
                       {0x2e, 0xff}, {0x2f, 0xff}}),
              "prefetchable window: it ends at 2^64 - 1, where no range can end");
    EXPECT_EQ(windows({}, 0x33), "none");
    // CardBus: memory 0 prefetchable by its bridge control, I/O 1 open
    std::string cardBus(64, '\0');
    for (const auto& [at, value] : std::vector<std::pair<std::size_t, unsigned>>{
             {0x0e, 2}, {0x1f, 0x94}, {0x22, 0xff}, {0x23, 0x97}, {0x35, 0x24}, {0x38, 0xff}, {0x39, 0x24}, {0x3f, 0x01}}) {
        cardBus[at] = static_cast<char>(value);
    }
    EXPECT_EQ(bridgeWindowsOfConfig(cardBus)->windows.size(), 2u);
    EXPECT_EQ(bridgeWindowsOfConfig(cardBus)->windows[0].kind, tAddressKind::kPrefetchable);
    EXPECT_EQ(hexOf(bridgeWindowsOfConfig(cardBus)->windows[1].last), "24ff");
    EXPECT_FALSE(bridgeWindowsOfConfig(std::string_view(cardBus).substr(0, 0x3f)).has_value());
    std::string endpoint(64, '\0');
    EXPECT_FALSE(bridgeWindowsOfConfig(endpoint).has_value());
}

// "DDDD:BB kind first-last [window] [disabled] [refused: why]", or "-".
std::string shownRootWindow(std::string_view text) {
    const std::optional<tRootWindowLine> line = parseRootWindowLine(text);
    if (!line) {
        return "-";
    }
    return hexOf(line->bus.domain) + ":" + hexOf(line->bus.bus) + " " + kindText(line->range.kind) + " " +
           hexOf(line->range.first) + "-" + hexOf(line->range.last) + (line->window ? " window" : "") +
           (line->disabled ? " disabled" : "") + (line->refused.empty() ? "" : " refused: " + line->refused);
}

TEST(KernelLogResources, RootBusWindowsAsTheKernelPrintsThem) {
    const std::pair<std::string_view, std::string> lines[] = {
        {"pci_bus 0000:00: root bus resource [io  0x0000-0x0cf7 window]", "0:0 io 0-cf7 window"},
        {"pci_bus 0000:00: root bus resource [mem 0x4000000000-0x7fffffffff window]", "0:0 mem 4000000000-7fffffffff window"},
        {"pci_bus 0000:00: root bus resource [mem 0xeec00000-0xeecfffff]", "0:0 mem eec00000-eecfffff"},
        {"pci_bus 0001:80: root bus resource [mem 0x380000000000-0x38ffffffffff 64bit pref window]",
         "1:80 pref 380000000000-38ffffffffff window"},
        {"pci_bus 0000:00: root bus resource [io  0x0000-0xffff] (bus address [0x10000-0x1ffff])", "0:0 io 0-ffff"},
        {"pci_bus 10000:e0: root bus resource [mem 0xfc000000-0xfdffffff]", "10000:e0 mem fc000000-fdffffff"},
        {"pci_bus 0000:00: root bus resource [mem 0xfed00000 window disabled]", "0:0 mem fed00000-fed00000 window disabled"},
        {"pci_bus 0000:00: root bus resource [mem 0xc0000000-0xbfffffff window]",
         "0:0 mem c0000000-bfffffff window refused: it starts at 0xc0000000, above its end 0xbfffffff"},
        {"pci_bus 0000:00: root bus resource [mem 0x00000000-0xffffffffffffffff]",
         "0:0 mem 0-ffffffffffffffff refused: it ends at 2^64 - 1, where no range can end"},
        {"pci_bus 0000:00: root bus resource [bus 00-ff]", "-"},
        {"pci_bus 0000:00: root bus resource [mem 0x10000000000000000-0x1 window]", "-"},  // 65 bits
        {"pci_bus 0000:00: root bus resource [mem size 0x1000]", "-"},
        {"pci_bus 0000:00: root bus resource [mem 0xc0000000-0xcfffffff window] extra", "-"},
        {"pci_bus 0000:00: root bus resource [mem 0xc0000000-0xcfffffff bogus]", "-"},
        {"pci_bus 0000:00: resource 4 [mem 0xc0000000-0xcfffffff window]", "-"},
    };
    for (const auto& [text, expected] : lines) {
        EXPECT_EQ(shownRootWindow(text), expected) << text;
    }
    const std::pair<std::string_view, bool> starts[] = {
        {"PCI host bridge to bus 0000:00", true}, {"vmd 0000:00:0e.0: PCI host bridge to bus 10000:e0", true},
        {"pci_host_generic 40000000.pcie: PCI host bridge to bus 0000:00 ", true},
        {"PCI host bridge to bus 0000:00 (extra)", false}, {"PCI host bridge to bus 0000", false},
        {"PCI host bridge to bus 0000:00\0"sv, false}};
    for (const auto& [text, accepted] : starts) {
        EXPECT_EQ(parseHostBridgeStart(text).has_value(), accepted) << text;
    }
}

// "DDDD:BB:DD.F NAME kind[64] size event", or "-".
std::string shownAssignment(const std::optional<tAssignmentLine>& line) {
    if (!line) {
        return "-";
    }
    static const char* const kEvents[] = {"no-space", "failed", "assigned", "cannot-enable"};
    return formatPciAddress(line->address) + " " + (line->resource.empty() ? "#" + std::to_string(*line->index)
                                                                            : line->resource) +
           " " + kindText(line->kind) + (line->is64 ? "64 " : " ") + hexOf(line->size) + " " +
           kEvents[static_cast<int>(line->event)];
}

TEST(KernelLogResources, AssignmentLinesOfBothFormatsAndWhichOneEndsIt) {
    const std::pair<std::string_view, std::string> lines[] = {
        {"pci 0000:07:00.0: BAR 1 [mem size 0x400000000 64bit pref]: can't assign; no space",
         "0000:07:00.0 BAR 1 pref64 400000000 no-space"},
        {"pci 0000:07:00.0: BAR 1 [mem size 0x400000000 64bit pref]: failed to assign",
         "0000:07:00.0 BAR 1 pref64 400000000 failed"},
        {"nvidia 0000:07:00.0: BAR 1 [mem size 0x400000000 64bit pref]: not assigned; can't enable device",
         "0000:07:00.0 BAR 1 pref64 400000000 cannot-enable"},
        {"pci 0000:00:1c.0: bridge window [io  size 0x1000]: failed to assign", "0000:00:1c.0 bridge window io 1000 failed"},
        {"pci 0000:03:00.0: VF BAR 2 [mem 0x6000000000-0x60003fffff 64bit pref]: assigned",
         "0000:03:00.0 VF BAR 2 pref64 400000 assigned"},
        {"pci 0000:01:00.0: ROM [mem size 0x00020000 pref]: failed to assign", "0000:01:00.0 ROM pref 20000 failed"},
        {"pci 0000:01:00.0: BAR 0: failed to assign [mem size 0x00200000 64bit]", "0000:01:00.0 BAR 0 mem64 200000 failed"},
        {"pci 0000:00:1c.0: BAR 15: failed to assign [mem size 0x00200000 64bit pref]", "0000:00:1c.0 #15 pref64 200000 failed"},
        {"pci 0000:00:1c.0: BAR 13: assigned [io  0x2000-0x2fff]", "0000:00:1c.0 #13 io 1000 assigned"},
        {"pci 0000:01:00.0: BAR 6: failed to assign [mem 0x00000000-0x0001ffff pref]", "0000:01:00.0 ROM pref 20000 failed"},
        {"pci 0000:01:00.0: can't enable device: BAR 0 [mem size 0x00200000 64bit] not assigned",
         "0000:01:00.0 BAR 0 mem64 200000 cannot-enable"},
        {"pci 0000:01:00.0: BAR 18: failed to assign [mem size 0x00200000]", "-"},
        {"pci 0000:01:00.0: BAR 6 [mem size 0x00200000]: failed to assign", "-"},  // no "BAR 6" in the new names
        {"pci 0000:01:00.0: BAR 1 [mem size 0x00200000]: can't claim; no compatible bridge window", "-"},
        {"pci 0000:01:00.0: BAR 1 [mem size 0x00000000]: failed to assign", "-"},
        {"pci 0000:01:20.0: BAR 1 [mem size 0x00200000]: failed to assign", "-"},
        {"pci 0000:01:00.0: BAR 1 [mem size 0x00200000]: failed to assign\0"sv, "-"},
        {"pci 0000:01:00.0: BAR 1 [bus 02-03]: failed to assign", "-"},
        {"0000:01:00.0: BAR 1 [mem size 0x00200000]: failed to assign", "-"},
    };
    for (const auto& [text, expected] : lines) {
        EXPECT_EQ(shownAssignment(parseAssignmentLine(text)), expected) << text;
    }
    // Only a final line counts, and a later "assigned" takes it back; the
    // three windows of a bridge are three resources.
    std::vector<tAssignmentLine> log;
    for (std::string_view text : {
             "pci 0000:07:00.0: BAR 1 [mem size 0x400000000 64bit pref]: can't assign; no space",
             "pci 0000:00:1c.0: bridge window [mem size 0x00200000 64bit pref]: failed to assign",
             "pci 0000:00:1c.0: bridge window [mem size 0x00200000]: failed to assign",
             "pci 0000:00:1c.0: bridge window [mem 0x90000000-0x901fffff]: assigned",
             "pci 0000:07:00.0: BAR 3 [mem size 0x02000000 64bit pref]: failed to assign",
             "pci 0000:07:00.0: BAR 3 [mem 0x6000000000-0x6001ffffff 64bit pref]: assigned",
             "pci 0000:07:00.0: BAR 5 [io  size 0x0080]: failed to assign",
             "nvidia 0000:07:00.0: BAR 5 [io  size 0x0080]: not assigned; can't enable device",
             "pci 0000:02:00.0: BAR 7: failed to assign [mem size 0x00100000 64bit]",
         }) {
        log.push_back(*parseAssignmentLine(text));
    }
    std::string ended;
    for (const tAssignmentLine& line : unassignedResources(log)) {
        ended += shownAssignment(line) + "; ";
    }
    EXPECT_EQ(ended, "0000:00:1c.0 bridge window pref64 200000 failed; 0000:07:00.0 BAR 5 io 80 cannot-enable; "
                     "0000:02:00.0 #7 mem64 100000 failed; ");
}

TEST(ProcResources, LinesOfIomemAndIoportsAndTheNamesOfBuses) {
    const std::pair<std::string_view, std::string> lines[] = {
        {"  c0000000-c7ffffff : PCI Bus 0000:00", "c0000000-c7ffffff PCI Bus 0000:00"},
        {"4000000000-7fffffffff : PCI Bus 0000:00", "4000000000-7fffffffff PCI Bus 0000:00"},
        {"00000000-00000000 : PCI Bus 0000:00", "0-0 PCI Bus 0000:00"},
        {"c7ffffff-c0000000 : PCI Bus 0000:00", "-"},
        {"c0000000-c7ffffff : ", "-"},
        {"c0000000-c7ffffff: PCI Bus 0000:00", "-"},
        {"10000000000000000-1 : x", "-"},
        {"c0000000-c7ffffff : PCI Bus\0 0000:00"sv, "-"},
    };
    for (const auto& [text, expected] : lines) {
        const std::optional<tProcResource> resource = parseProcResourceLine(text);
        EXPECT_EQ(resource ? hexOf(resource->first) + "-" + hexOf(resource->last) + " " + std::string(resource->name)
                           : "-",
                  expected)
            << text;
    }
    EXPECT_EQ(parseProcBusName("PCI Bus 0001:80").value_or(tRootBus{9, 9}).bus, 0x80u);
    EXPECT_FALSE(parseProcBusName("PCI Bus 0000:00 extra").has_value());
    EXPECT_FALSE(parseProcBusName("PCI ECAM 0000 [bus 00-ff]").has_value());
}

}  // namespace
}  // namespace nROOTSCOPE_1_0

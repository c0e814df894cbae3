// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include <optional>
#include <string>
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

}  // namespace
}  // namespace nROOTSCOPE_1_0

// The device database of the Linux machine this runs on, seen through the
// kernel: ACPI device nodes stand for the Windows device nodes.
//
// - Device set: one node per entry of R/sys/bus/acpi/devices, in name order.
// - Instance ID: "ACPI\<hid>\<uid>", with the fallbacks of makeInstanceId.
// - Started: a physical_node link to an existing directory and, when the
//   entry has a status file, its present bit (bit 0).
// - Boot configuration: only for a started node whose physical node is a PCI
//   host bridge "pciDDDD:BB"; it holds one bus-number descriptor from BB to
//   the end the kernel log announced, else the end of the ECAM / MMCONFIG
//   window in /proc/iomem, else no descriptor at all.
//
// Handles behave as the Windows ones do: each is valid until it is freed,
// whatever else is freed meanwhile, and never handed out again. The object
// counts what is held, so a caller can prove the survey released it all.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "DeviceServices.h"
#include "LinuxHostParsers.h"

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

    std::uint64_t setsHeld() const { return setsHeld_; }
    std::uint64_t logConfsHeld() const { return logConfsHeld_; }
    std::uint64_t descriptorsHeld() const { return descriptorsHeld_; }
    std::uint64_t misuses() const { return misuses_; }
    // How often the kernel log and /proc/iomem were read: at most once each.
    std::uint64_t rangeSourceReads() const { return rangeSourceReads_; }

    // What is still held and what was misused, as one line ("" when clean),
    // e.g. "1 device set, 2 descriptor handles".
    std::string leakReport() const;

private:
    struct tNode {
        std::string id;
        bool listed = false;  // in the latest scan of the device directory
        bool started = false;
        bool hostBridge = false;  // physical node is "pciDDDD:BB"
        tRootBus rootBus;
        std::string acpiName;  // last segment of the path attribute; may be empty
    };

    struct tSet {
        bool live = true;
        std::vector<DEVINST> members;
    };

    struct tHandle {
        bool live = true;
        bool isLogConf = true;
        bool hasBusNumber = false;  // a log conf with a descriptor to hand out
        std::uint32_t base = 0;
        std::uint32_t end = 0;
    };

    bool scanDevices(std::vector<DEVINST>& members);
    void refreshNode(tNode& node, const std::string& entryName);
    void loadRangeSources();
    const tNode* nodeOf(DEVINST node) const;
    tSet* liveSet(HDEVINFO set);
    tHandle* liveHandle(std::uintptr_t value, bool wantLogConf, bool anyKind);
    std::uintptr_t newHandle(const tHandle& handle);

    std::string root_;
    std::map<std::string, DEVINST> devinstByEntry_;  // a node keeps its number across sets
    std::vector<tNode> nodes_;                       // DEVINST n is nodes_[n - 1]
    std::vector<tSet> sets_;
    std::vector<tHandle> handles_;

    bool rangeSourcesLoaded_ = false;
    std::vector<tRootBridgeRange> announcements_;
    std::vector<tBusWindow> windows_;

    std::uint64_t setsHeld_ = 0;
    std::uint64_t logConfsHeld_ = 0;
    std::uint64_t descriptorsHeld_ = 0;
    std::uint64_t misuses_ = 0;
    std::uint64_t rangeSourceReads_ = 0;
};

}  // namespace rootscope

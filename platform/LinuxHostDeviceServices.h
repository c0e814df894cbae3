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
// The object reads the machine once: the first device set that opens lists
// the directory and reads every entry's facts into a node table, and every
// later set walks that same table. A survey opens six sets within a few
// milliseconds and must see one machine in all of them; reading the same
// few hundred sysfs files six times over only cost time. The kernel log is
// read at most once, when the first range is asked for, and /proc/iomem at
// most once, only when a root bridge's range is not in the log.
//
// Handles behave as the Windows ones do: each is valid until it is freed,
// whatever else is freed meanwhile, and never handed out again. The object
// counts what is held, so a caller can prove the survey released it all.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "DeviceServices.h"
#include "LinuxHostParsers.h"

namespace nROOTSCOPE_1_0 {

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
    // How often the device directory was listed and its entries read, the
    // kernel log read, and /proc/iomem read: at most once each.
    std::uint64_t deviceTableReads() const { return deviceTableReads_; }
    std::uint64_t kernelLogReads() const { return kernelLogReads_; }
    std::uint64_t configWindowReads() const { return configWindowReads_; }

    // What is still held and what was misused, as one line ("" when clean),
    // e.g. "1 device set, 2 descriptor handles".
    std::string leakReport() const;

private:
    struct tNode {
        std::string id;
        bool started = false;
        bool hostBridge = false;  // started, and its physical node is "pciDDDD:BB"
        tRootBus rootBus;
        std::string acpiName;  // host bridges only: last segment of the path attribute; may be empty
        bool rangeKnown = false;  // busEnd has been worked out
        std::optional<std::uint32_t> busEnd;
    };

    struct tHandle {
        bool live = true;
        bool isLogConf = true;
        bool hasBusNumber = false;  // a log conf with a descriptor to hand out
        std::uint32_t base = 0;
        std::uint32_t end = 0;
    };

    bool loadNodes();
    void readNode(int entryDir, const std::string& entryName, tNode& node);
    void loadKernelLog();
    void loadConfigWindows();
    std::optional<std::uint32_t> busEndOf(tNode& node);
    tNode* nodeOf(DEVINST node);
    bool liveSet(HDEVINFO set) const;
    tHandle* liveHandle(std::uintptr_t value, bool wantLogConf, bool anyKind);
    std::uintptr_t newHandle(const tHandle& handle);

    std::string root_;
    bool nodesLoaded_ = false;
    std::vector<tNode> nodes_;       // in entry-name order; DEVINST n is nodes_[n - 1]
    std::vector<tRootBus> rootBuses_;  // of every started host bridge
    std::vector<bool> setLive_;      // one per set ever opened; HDEVINFO n is setLive_[n - base]
    std::vector<tHandle> handles_;

    bool kernelLogLoaded_ = false;
    bool configWindowsLoaded_ = false;
    std::vector<tRootBridgeRange> announcements_;
    std::vector<tBusWindow> windows_;

    std::uint64_t setsHeld_ = 0;
    std::uint64_t logConfsHeld_ = 0;
    std::uint64_t descriptorsHeld_ = 0;
    std::uint64_t misuses_ = 0;
    std::uint64_t deviceTableReads_ = 0;
    std::uint64_t kernelLogReads_ = 0;
    std::uint64_t configWindowReads_ = 0;
};

}  // namespace nROOTSCOPE_1_0

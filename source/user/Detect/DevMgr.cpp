// SPDX-License-Identifier: MIT
#include "DevMgr.h"

#include <algorithm>
#include <cstdlib>
#include <iterator>
#include <cstring>

#include "AsciiCase.h"
#include "DeviceServices.h"
#include "Memory.h"

namespace nROOTSCOPE_1_0 {

namespace {

// Releases a log-configuration handle on every path out of a range read.
class tLogConfGuard {
public:
    explicit tLogConfGuard(LOG_CONF logConf) : logConf_(logConf) {}
    ~tLogConfGuard() { deviceServices().CM_Free_Log_Conf_Handle(logConf_); }
    tLogConfGuard(const tLogConfGuard&) = delete;
    tLogConfGuard& operator=(const tLogConfGuard&) = delete;

private:
    LOG_CONF logConf_;
};

// The descriptor the walk stands on. Taking the next one releases the
// previous; whatever is held at the end is released before the log conf.
class tResDesCursor {
public:
    tResDesCursor() = default;
    ~tResDesCursor() { release(); }
    tResDesCursor(const tResDesCursor&) = delete;
    tResDesCursor& operator=(const tResDesCursor&) = delete;

    bool held() const { return held_; }
    RES_DES get() const { return descriptor_; }

    void moveTo(RES_DES next) {
        release();
        descriptor_ = next;
        held_ = true;
    }

private:
    void release() {
        if (held_) {
            deviceServices().CM_Free_Res_Des_Handle(descriptor_);
            held_ = false;
        }
    }

    RES_DES descriptor_ = 0;
    bool held_ = false;
};

// Demotes the error a descriptor step left in `scratch` to a warning in
// `status`. Recorded only when `status` still held success, so the first
// warning of the run keeps its place.
void demoteInto(tStatusBlock& status, const tStatusBlock& scratch) {
    status.setCode(std::abs(scratch.code), scratch.component, scratch.file, scratch.line);
}

}  // namespace

bool instanceIdMatches(const char* id, std::size_t idCapacity, const char* pattern) {
    // Up to the "*", or without one through the terminators, which must
    // meet too. A byte past the capacity reads as the end of the ID.
    const char* star = std::strchr(pattern, '*');
    const std::size_t length = star != nullptr ? static_cast<std::size_t>(star - pattern) : std::strlen(pattern) + 1;
    for (std::size_t i = 0; i < length; ++i) {
        if (asciiLower(i < idCapacity ? id[i] : '\0') != asciiLower(pattern[i])) {
            return false;
        }
    }
    return true;
}

void readInstanceId(DEVINST node, char* buffer, tStatusBlock& scratch) {
    std::memset(buffer, 0, kInstanceIdBufferSize);
    if (scratch.isError()) {
        return;
    }
    const CONFIGRET result =
        deviceServices().CM_Get_Device_IDA(node, buffer, static_cast<ULONG>(kInstanceIdBufferSize), 0);
    if (result != CR_SUCCESS) {
        buffer[0] = '\0';
        ROOTSCOPE_RAISE(scratch, kStatusConfigQueryFailed);
        return;
    }
    // A service may fill the whole buffer without a terminator.
    buffer[kInstanceIdBufferSize - 1] = '\0';
}

void forEachMatchingDevice(const char* pattern, tDeviceVisitor visitor, void* context, tStatusBlock& status) {
    if (status.isError()) {
        return;
    }
    iDeviceServices& services = deviceServices();
    HDEVINFO set = services.SetupDiGetClassDevsA(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES);
    if (set == INVALID_HANDLE_VALUE) {
        // A database that cannot be read is not an empty machine.
        ROOTSCOPE_RAISE(status, kStatusConfigQueryFailed);
        return;
    }
    tDeviceSetGuard setGuard(set);

    SP_DEVINFO_LIST_DETAIL_DATA_A detail;
    std::memset(&detail, 0, sizeof detail);
    detail.cbSize = sizeof detail;
    if (!services.SetupDiGetDeviceInfoListDetailA(set, &detail)) {
        ROOTSCOPE_RAISE(status, kStatusConfigQueryFailed);
        return;
    }

    SP_DEVINFO_DATA record;
    std::memset(&record, 0, sizeof record);
    record.cbSize = sizeof record;
    char id[kInstanceIdBufferSize];
    DWORD index = 0;
    for (; services.SetupDiEnumDeviceInfo(set, index, &record); ++index) {
        // The node's scratch block inherits the run's state: once the run
        // holds an error no ID is read, so no node matches a prefix. What the
        // read raises stays in the scratch block.
        tStatusBlock scratch = makeStatusBlock();
        scratch.mergeFrom(status);
        readInstanceId(record.DevInst, id, scratch);
        if (instanceIdMatches(id, sizeof id, pattern)) {
            visitor(set, record, index, context, status);
        }
    }
    // The list ends with ERROR_NO_MORE_ITEMS; any other failure means the
    // database could not be walked, which is not the end of it.
    if (services.GetLastError() != static_cast<DWORD>(ERROR_NO_MORE_ITEMS)) {
        ROOTSCOPE_RAISE(status, kStatusConfigQueryFailed);
    }
}

bool isNodeStarted(DEVINST node) {
    ULONG bits = 0;
    ULONG problem = 0;
    const CONFIGRET result = deviceServices().CM_Get_DevNode_Status(&bits, &problem, node, 0);
    return result == CR_SUCCESS && (bits & DN_STARTED) != 0;
}

bool getFirstLogConf(DEVINST node, ULONG kind, LOG_CONF& logConf, tStatusBlock& status) {
    if (status.isError()) {
        return false;
    }
    const CONFIGRET result = deviceServices().CM_Get_First_Log_Conf(&logConf, node, kind);
    if (result == CR_SUCCESS) {
        return true;
    }
    if (result != CR_NO_MORE_LOG_CONF) {
        ROOTSCOPE_RAISE(status, kStatusConfigQueryFailed);
    }
    return false;
}

ULONG getResDesDataSize(RES_DES descriptor, tStatusBlock& status) {
    if (status.isError()) {
        return 0;
    }
    ULONG size = 0;
    if (deviceServices().CM_Get_Res_Des_Data_Size(&size, descriptor, 0) != CR_SUCCESS) {
        ROOTSCOPE_RAISE(status, kStatusConfigQueryFailed);
        return 0;
    }
    return size;
}

void getResDesData(RES_DES descriptor, void* buffer, ULONG size, tStatusBlock& status) {
    if (status.isError()) {
        return;
    }
    if (deviceServices().CM_Get_Res_Des_Data(descriptor, buffer, size, 0) != CR_SUCCESS) {
        ROOTSCOPE_RAISE(status, kStatusConfigQueryFailed);
    }
}

ULONG descriptorHeaderSize(RESOURCEID type) {
    const std::uint32_t header = descriptorHeaderBytes(type);
    return header != 0 ? header : 1;
}

bool walkConfiguration(DEVINST node, ULONG kind, const RESOURCEID* types, std::size_t typeCount,
                       tDescriptorVisitor visitor, void* context, tStatusBlock& status) {
    if (status.isError()) {
        return false;
    }
    LOG_CONF logConf = 0;
    if (!getFirstLogConf(node, kind, logConf, status)) {
        return false;
    }
    // Declared in this order so the descriptor goes back before the log conf.
    tLogConfGuard logConfGuard(logConf);
    tResDesCursor current;

    iDeviceServices& services = deviceServices();
    while (!status.isError()) {
        RES_DES next = 0;
        RESOURCEID type = 0;
        const CONFIGRET result =
            services.CM_Get_Next_Res_Des(&next, current.held() ? current.get() : logConf, ResType_All, &type, 0);
        if (result == CR_NO_MORE_RES_DES) {
            break;
        }
        if (result != CR_SUCCESS) {
            ROOTSCOPE_RAISE(status, kStatusConfigQueryFailed);
            break;
        }
        current.moveTo(next);
        if (std::find(types, types + typeCount, type) == types + typeCount) {
            continue;
        }

        tConfigDescriptor descriptor;
        descriptor.type = type;
        tStatusBlock scratch = makeStatusBlock();
        scratch.mergeFrom(status);
        descriptor.size = getResDesDataSize(next, scratch);
        // Data shorter than the type's header holds no range: it is handed
        // over like no data at all, and nothing is read from it.
        if (scratch.isError() || descriptor.size < descriptorHeaderSize(type)) {
            descriptor.read =
                scratch.isError() ? tConfigDescriptor::tRead::kSizeFailed : tConfigDescriptor::tRead::kShort;
            demoteInto(status, scratch);
            visitor(descriptor, context, status);
            continue;
        }

        tBufferGuard buffer(descriptor.size, status);
        if (status.isError()) {
            break;
        }
        getResDesData(next, buffer.get(), descriptor.size, scratch);
        if (!scratch.isError()) {
            descriptor.bytes = static_cast<const unsigned char*>(buffer.get());
        } else {
            descriptor.read = tConfigDescriptor::tRead::kDataFailed;
            demoteInto(status, scratch);
        }
        visitor(descriptor, context, status);
    }
    return true;
}

namespace {

struct tBusNumberRead {
    std::int32_t& low;
    std::int32_t& high;
};

// The last bus-number descriptor read decides; one without data is only a
// warning.
void takeBusNumbers(const tConfigDescriptor& descriptor, void* context, tStatusBlock& status) {
    auto& read = *static_cast<tBusNumberRead*>(context);
    if (descriptor.read == tConfigDescriptor::tRead::kDataFailed) {
        return;  // its warning is already in `status`
    }
    if (descriptor.read != tConfigDescriptor::tRead::kRead) {
        status.setCode(-kStatusBusNumberDataEmpty, kStatusComponent, __FILE__, __LINE__);
        return;
    }
    const tDescriptorRange range = descriptorRange(ResType_BusNumber, descriptor.bytes);
    read.low = static_cast<std::int32_t>(range.base);
    read.high = static_cast<std::int32_t>(range.end);
}

}  // namespace

void getBusNumberRange(DEVINST node, std::int32_t& low, std::int32_t& high, ULONG kind, tStatusBlock& status) {
    const RESOURCEID types[] = {ResType_BusNumber};
    tBusNumberRead read{low, high};
    walkConfiguration(node, kind, types, std::size(types), takeBusNumbers, &read, status);
}

}  // namespace nROOTSCOPE_1_0

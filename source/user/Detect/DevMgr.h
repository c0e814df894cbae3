// SPDX-License-Identifier: MIT
// Device-configuration access: the walk over every device node with
// instance-ID matching, and the reader of a node's boot bus-number range.
#pragma once

#include <cstddef>
#include <cstdint>

#include "DeviceTypes.h"
#include "StatusBlock.h"

namespace nROOTSCOPE_1_0 {

// The two root-bridge patterns, always walked in this order.
inline constexpr const char kPciRootBridgePattern[] = "ACPI\\PNP0A03\\*";
inline constexpr const char kPciExpressRootBridgePattern[] = "ACPI\\PNP0A08\\*";

// Instance IDs are read into buffers of this size, NUL included.
inline constexpr std::size_t kInstanceIdBufferSize = MAX_DEVICE_ID_LEN;

// Called for each node whose instance ID matches: the set, the node's
// device-info record, its zero-based index in the set, the caller's context
// and the caller's status block.
using tDeviceVisitor = void (*)(HDEVINFO set, const SP_DEVINFO_DATA& record, std::uint32_t index, void* context,
                                tStatusBlock& status);

// True when `id` matches `pattern`, ASCII letter case ignored. A pattern with
// a "*" matches every ID that begins with the characters before it (what
// follows the "*" is ignored); one without must equal the whole ID. The ID is
// never read past `idCapacity` bytes, terminated or not.
bool instanceIdMatches(const char* id, std::size_t idCapacity, const char* pattern);

// Reads a node's instance ID into `buffer` (kInstanceIdBufferSize bytes),
// always NUL-terminated within it. A failed read leaves the ID empty and
// raises kStatusConfigQueryFailed in `scratch`.
void readInstanceId(DEVINST node, char* buffer, tStatusBlock& scratch);

// Visits every node of a device set over all classes, present or not, whose
// instance ID matches `pattern`. Does nothing when `status` holds an error.
// A set that cannot be opened or described, or an enumeration that fails
// other than at the end of the list, records kStatusConfigQueryFailed.
// After a visitor records an error the walk runs to the end of the set but
// reads no more IDs, so no later node matches a pattern with a prefix.
void forEachMatchingDevice(const char* pattern, tDeviceVisitor visitor, void* context, tStatusBlock& status);

// True when the node's status bits say it is started. A failed status query
// answers false whatever bits it left behind.
bool isNodeStarted(DEVINST node);

// The configuration-manager wrappers of the range reader. Each does nothing
// when `status` already holds an error.
bool getFirstLogConf(DEVINST node, ULONG kind, LOG_CONF& logConf, tStatusBlock& status);
ULONG getResDesDataSize(RES_DES descriptor, tStatusBlock& status);
void getResDesData(RES_DES descriptor, void* buffer, ULONG size, tStatusBlock& status);

// One descriptor of a configuration, as the walk hands it to its visitor:
// its type, what became of reading it, and its data (`bytes`, null unless
// `read` is kRead). `size` is what the size query gave.
struct tConfigDescriptor {
    enum class tRead : std::uint8_t {
        kRead,
        kSizeFailed,  // the size query failed
        kShort,       // the data is shorter than the type's header
        kDataFailed,  // the data query failed
    };
    RESOURCEID type = ResType_All;
    tRead read = tRead::kRead;
    const unsigned char* bytes = nullptr;
    ULONG size = 0;
};

// Called for each descriptor of a type the caller asked for, in the
// configuration's order, with the caller's context and the walk's status.
using tDescriptorVisitor = void (*)(const tConfigDescriptor& descriptor, void* context, tStatusBlock& status);

// The header size of a descriptor type: ResType_BusNumber, ResType_Mem,
// ResType_MemLarge and ResType_IO; 1 for any other type.
ULONG descriptorHeaderSize(RESOURCEID type);

// Walks a node's first log configuration of `kind` once, and for each
// descriptor whose type is among `types` reads its size and data into a
// buffer of its own and calls `visitor`; descriptors of other types are
// stepped over unread. Every handle and buffer is released on every path.
// A descriptor whose size or data cannot be read is handed over unread and
// its failure is demoted to a warning; failures to walk the configuration,
// and an exhausted heap, are errors and end the walk. False when the node
// has no such configuration (or `status` already held an error).
bool walkConfiguration(DEVINST node, ULONG kind, const RESOURCEID* types, std::size_t typeCount,
                       tDescriptorVisitor visitor, void* context, tStatusBlock& status);

// Reads the bus-number range of a node's first log configuration of `kind`
// into `low` and `high`, which are written only when a bus-number descriptor
// was read without error (the last such descriptor decides). Failures to read
// one descriptor become warnings; failures to walk the configuration, and an
// exhausted heap, are errors.
void getBusNumberRange(DEVINST node, std::int32_t& low, std::int32_t& high, ULONG kind, tStatusBlock& status);

}  // namespace nROOTSCOPE_1_0

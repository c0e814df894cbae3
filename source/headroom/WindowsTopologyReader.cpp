// SPDX-License-Identifier: MIT
#include "WindowsTopologyReader.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <map>
#include <new>
#include <optional>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "DevMgr.h"
#include "DeviceServices.h"
#include "StatusBlock.h"

namespace nROOTSCOPE_1_0 {

namespace {

constexpr DWORD kNoSlot = 0xFFFFFFFFu;

std::string hexCode(unsigned long code) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%lx", code);
    return text;
}

// The bus of SPDRP_BUSNUMBER (its low 8 bits), and the PCI address of a
// node whose bus number and address are known.
std::uint32_t busOf(DWORD busNumber) {
    return static_cast<std::uint32_t>(busNumber & 0xffu);
}

// A memory or I/O descriptor of a configuration, as read; an unread one
// keeps only its type and its place.
struct tResource {
    RESOURCEID type = ResType_Mem;
    std::uint64_t base = 0;
    std::uint64_t end = 0;
    DWORD flags = 0;
    bool unread = false;

    bool io() const { return type == ResType_IO; }
    tResourceKind kind() const {
        return io() ? tResourceKind::kIo
                    : (flags & mMD_Prefetchable) == fMD_PrefetchAllowed ? tResourceKind::kPrefetchable
                                                                        : tResourceKind::kMemory;
    }
    // A window or BAR flag of its own type: fIOD_WINDOW_DECODE and
    // fIOD_PORT_BAR for I/O, fMD_WINDOW_DECODE and fMD_MEMORY_BAR for memory
    // (the large-memory descriptor shares the memory flags).
    bool windowFlag() const { return (flags & (io() ? fIOD_WINDOW_DECODE : fMD_WINDOW_DECODE)) != 0; }
    bool barFlag() const { return (flags & (io() ? fIOD_PORT_BAR : fMD_MEMORY_BAR)) != 0; }
};

// The resources of the functions directly below a bridge, so that whether
// one lies inside a descriptor is found in logarithmic time: by address
// space, in order of base, with the least end from each onwards. One with a
// base past the descriptor's end ends past it too, so the least end from
// the first base inside it decides.
class tResourcesBelow {
public:
    explicit tResourcesBelow(const std::vector<const tResource*>& below) {
        for (const tResource* resource : below) {
            spaces_[resource->io() ? 0 : 1].push_back({resource->base, resource->end});
        }
        for (auto& space : spaces_) {
            std::sort(space.begin(), space.end());
            for (std::size_t i = space.size(); i-- > 1;) {
                space[i - 1].second = std::min(space[i - 1].second, space[i].second);
            }
        }
    }

    bool anyInside(const tResource& outer) const {
        if (outer.unread) {
            return false;
        }
        const auto& space = spaces_[outer.io() ? 0 : 1];
        const auto from = std::lower_bound(space.begin(), space.end(), std::pair(outer.base, std::uint64_t{0}));
        return from != space.end() && from->second <= outer.end;
    }

private:
    std::array<std::vector<std::pair<std::uint64_t, std::uint64_t>>, 2> spaces_;  // I/O, memory
};

// The legacy VGA ranges a video device (or a bridge forwarding VGA) may be
// given besides its BARs: no BAR, no window.
bool legacyVga(const tResource& resource) {
    if (resource.io()) {
        return (resource.base == 0x3b0 && resource.end == 0x3bb) || (resource.base == 0x3c0 && resource.end == 0x3df);
    }
    return resource.base == 0xa0000 && resource.end == 0xbffff;
}

const char* typeName(RESOURCEID type) {
    return type == ResType_IO ? "an I/O" : type == ResType_MemLarge ? "a large-memory" : "a memory";
}

// What one walk of a configuration gathers: the last bus-number
// descriptor (as the survey's range reader takes it) and the memory and
// I/O descriptors.
struct tConfigRead {
    std::int32_t low = -1;
    std::int32_t high = -1;
    std::vector<tResource> resources;
    // Each descriptor that could not be read (its type) and why.
    std::vector<std::pair<std::string, std::string>> unread;
};

void gatherDescriptor(const tConfigDescriptor& descriptor, void* context, tStatusBlock& status) {
    auto& read = *static_cast<tConfigRead*>(context);
    if (descriptor.type == ResType_BusNumber) {
        if (descriptor.read == tConfigDescriptor::tRead::kRead) {
            const tDescriptorRange range = descriptorRange(ResType_BusNumber, descriptor.bytes);
            read.low = static_cast<std::int32_t>(range.base);
            read.high = static_cast<std::int32_t>(range.end);
        } else if (descriptor.read != tConfigDescriptor::tRead::kDataFailed) {
            status.setCode(-kStatusBusNumberDataEmpty, kStatusComponent, __FILE__, __LINE__);
        }
        return;
    }
    tResource resource;
    resource.type = descriptor.type;
    if (descriptor.read != tConfigDescriptor::tRead::kRead) {
        resource.unread = true;
        read.unread.emplace_back(typeName(descriptor.type),
                                 descriptor.read == tConfigDescriptor::tRead::kSizeFailed   ? "its size query failed"
                                 : descriptor.read == tConfigDescriptor::tRead::kDataFailed ? "its data query failed"
                                                                                            : "its data is too short");
        read.resources.push_back(resource);
        return;
    }
    const tDescriptorRange range = descriptorRange(descriptor.type, descriptor.bytes);
    resource.base = range.base;
    resource.end = range.end;
    resource.flags = range.flags;
    if (resource.end < resource.base || resource.end == ~std::uint64_t{0}) {
        char text[96];
        std::snprintf(text, sizeof text, "[%#llx-%#llx] is no range", static_cast<unsigned long long>(resource.base),
                      static_cast<unsigned long long>(resource.end));
        read.unread.emplace_back(typeName(descriptor.type), text);
        resource.unread = true;
    }
    read.resources.push_back(resource);
}

constexpr RESOURCEID kEveryType[] = {ResType_BusNumber, ResType_Mem, ResType_MemLarge, ResType_IO};
constexpr RESOURCEID kBusNumbersOnly[] = {ResType_BusNumber};
constexpr RESOURCEID kAddressesOnly[] = {ResType_Mem, ResType_MemLarge, ResType_IO};

// One node met on the walk, with what its properties said.
struct tNode {
    std::string id;
    std::optional<DWORD> busNumber;
    std::optional<DWORD> address;
    std::optional<DWORD> uiNumber;
    std::optional<ULONG> deviceType;
    std::optional<std::pair<std::uint32_t, std::uint32_t>> descriptor;  // base and end, allocated or boot
    std::optional<std::size_t> parentFunction;  // the nearest PCI function above, an index in the root's list
    std::optional<ULONG> barTypes;
    std::optional<ULONG> problem;  // the CM_PROB_* number, when DN_HAS_PROBLEM is set
    // The memory and I/O descriptors of its allocated configuration, in its
    // order, legacy VGA ranges left out.
    std::vector<tResource> resources;
};

class tReader {
public:
    tReader(HDEVINFO set, tTopology& topology, std::string& failure)
        : services_(deviceServices()), set_(set), topology_(topology), failure_(failure) {}

    bool readMembers() {
        for (DWORD index = 0;; ++index) {
            SP_DEVINFO_DATA record;
            std::memset(&record, 0, sizeof record);
            record.cbSize = sizeof record;
            if (!services_.SetupDiEnumDeviceInfo(set_, index, &record)) {
                const DWORD error = services_.GetLastError();
                if (error == static_cast<DWORD>(ERROR_NO_MORE_ITEMS)) {
                    return true;
                }
                return fail("SetupDiEnumDeviceInfo failed at member " + std::to_string(index) + " (error " +
                            std::to_string(error) + ")");
            }
            members_.emplace(record.DevInst, record);
            order_.push_back(record.DevInst);
        }
    }

    // The started root bridges, as the survey counts them, in its order. A
    // node whose ID cannot be read is no root bridge the survey would see;
    // it is said, since it might have been one.
    bool readRoots() {
        std::vector<std::string> ids(order_.size());
        for (std::size_t i = 0; i < order_.size(); ++i) {
            char id[kInstanceIdBufferSize];
            tStatusBlock scratch = makeStatusBlock();
            readInstanceId(order_[i], id, scratch);
            if (scratch.isError()) {
                problems_.push_back("member " + std::to_string(i) + " of the device set: its instance ID could not "
                                    "be read; were it a root bridge, its root bus is missing here");
            } else {
                ids[i] = id;
            }
        }
        for (const char* pattern : {kPciRootBridgePattern, kPciExpressRootBridgePattern}) {
            for (std::size_t i = 0; i < order_.size(); ++i) {
                if (!ids[i].empty() && instanceIdMatches(ids[i].c_str(), ids[i].size() + 1, pattern) &&
                    isNodeStarted(order_[i]) && !readRoot(order_[i], ids[i])) {
                    return false;
                }
            }
        }
        return true;
    }

private:
    bool fail(const std::string& what) {
        failure_ = "the device database: " + what;
        return false;
    }

    // Walks a node's configuration of `kind` once for the descriptors of
    // `types`: its bus-number descriptor, as the survey's range reader reads
    // it, and its memory and I/O descriptors. One that cannot be walked to
    // its end is said: its bus numbers are then unknown, and so is what it
    // holds of memory and I/O, which makes every window that may hold it
    // only a bound (an unread resource of each space stands for it).
    template <std::size_t N>
    void readConfiguration(DEVINST node, const std::string& id, ULONG kind, const RESOURCEID (&types)[N],
                           std::optional<std::pair<std::uint32_t, std::uint32_t>>& descriptor,
                           std::vector<tResource>* resources) {
        tConfigRead read;
        tStatusBlock status = makeStatusBlock();
        const std::string which = kind == BOOT_LOG_CONF ? "boot" : "allocated";
        walkConfiguration(node, kind, types, N, gatherDescriptor, &read, status);
        if (status.isError()) {
            problems_.push_back(id + ": its " + which + " configuration could not be read (" +
                                std::to_string(status.code) + "), so what it holds is unknown" +
                                (resources != nullptr ? " and every window it may lie in is only a bound" : ""));
            if (resources != nullptr) {
                resources->push_back({ResType_IO, 0, 0, 0, true});
                resources->push_back({ResType_Mem, 0, 0, 0, true});
            }
            return;
        }
        if (read.low >= 0 && read.high >= 0) {
            descriptor.emplace(static_cast<std::uint32_t>(read.low), static_cast<std::uint32_t>(read.high));
        }
        for (const auto& [what, why] : read.unread) {
            problems_.push_back(id + ": " + what + " descriptor of its " + which + " configuration could not be read (" +
                                why + "), so that resource is unknown and every window it may lie in is only a bound");
        }
        if (resources != nullptr) {
            resources->insert(resources->end(), read.resources.begin(), read.resources.end());
        }
    }

    // A 32-bit device property; none when missing or of another type, and a
    // problem noted when the call failed for another reason. The PCI keys'
    // header gives their values as 32-bit numbers but names no property
    // type, and Microsoft's pages list other numeric device properties as
    // DEVPROP_TYPE_INT32: either is taken.
    std::optional<ULONG> deviceUint(SP_DEVINFO_DATA& record, const DEVPROPKEY& key, const char* name,
                                    const std::string& id) {
        DEVPROPTYPE type = 0;
        ULONG value = 0;
        DWORD required = 0;
        if (services_.SetupDiGetDevicePropertyW(set_, &record, &key, &type, reinterpret_cast<BYTE*>(&value),
                                                sizeof value, &required, 0)) {
            return deviceNumberType(type) && required == sizeof value ? std::optional<ULONG>(value) : std::nullopt;
        }
        noteFailedProperty(name, id);
        return std::nullopt;
    }

    // The problem Windows gives a function it stopped; none when it has
    // none, or when its status cannot be read, which is said.
    std::optional<ULONG> problemOf(DEVINST node, const std::string& id) {
        ULONG bits = 0;
        ULONG problem = 0;
        const CONFIGRET result = services_.CM_Get_DevNode_Status(&bits, &problem, node, 0);
        if (result != CR_SUCCESS) {
            problems_.push_back(id + ": its status could not be read (CONFIGRET " + hexCode(result) +
                                "), so whether Windows stopped it is unknown");
            return std::nullopt;
        }
        return (bits & DN_HAS_PROBLEM) != 0 ? std::optional<ULONG>(problem) : std::nullopt;
    }

    // A DWORD registry property; none when missing or of another type, and
    // a problem noted when the call failed for another reason.
    std::optional<DWORD> registryDword(SP_DEVINFO_DATA& record, DWORD property, const char* name,
                                       const std::string& id) {
        DWORD type = 0;
        DWORD value = 0;
        DWORD required = 0;
        if (services_.SetupDiGetDeviceRegistryPropertyA(set_, &record, property, &type,
                                                        reinterpret_cast<BYTE*>(&value), sizeof value, &required)) {
            return type == REG_DWORD && required == sizeof value ? std::optional<DWORD>(value) : std::nullopt;
        }
        noteFailedProperty(name, id);
        return std::nullopt;
    }

    // A property that is not set is simply unknown; any other failure is
    // unknown too, but said, since it is no answer of the device's.
    void noteFailedProperty(const char* name, const std::string& id) {
        const DWORD error = services_.GetLastError();
        if (!propertyNotSet(error)) {
            problems_.push_back(id + ": " + name + " could not be read (error " + std::to_string(error) + ")");
        }
    }

    // The next node of a tree call (a node's first child, a node's next
    // sibling), or none.
    bool tree(CONFIGRET (iDeviceServices::*call)(DEVINST*, DEVINST, ULONG), const char* name, DEVINST node,
              std::optional<DEVINST>& next) {
        DEVINST found = 0;
        const CONFIGRET result = (services_.*call)(&found, node, 0);
        if (result == CR_NO_SUCH_DEVNODE) {
            next.reset();
            return true;
        }
        if (result != CR_SUCCESS) {
            return fail(std::string(name) + " failed (CONFIGRET " + hexCode(result) + ")");
        }
        next = found;
        return true;
    }

    // The children of `node`, in the order the tree gives them. A chain of
    // siblings longer than the set (a loop in a database gone wrong) is a
    // tree that cannot be walked.
    bool childrenOf(DEVINST node, std::vector<DEVINST>& children) {
        children.clear();
        std::optional<DEVINST> next;
        if (!tree(&iDeviceServices::CM_Get_Child, "CM_Get_Child", node, next)) {
            return false;
        }
        while (next) {
            if (children.size() > members_.size()) {
                return fail("a chain of CM_Get_Sibling does not end");
            }
            children.push_back(*next);
            if (!tree(&iDeviceServices::CM_Get_Sibling, "CM_Get_Sibling", *next, next)) {
                return false;
            }
        }
        return true;
    }

    bool readRoot(DEVINST rootNode, const std::string& rootId) {
        std::optional<std::pair<std::uint32_t, std::uint32_t>> range;
        std::vector<tResource> windows;
        readConfiguration(rootNode, rootId, BOOT_LOG_CONF, kEveryType, range, &windows);
        // Its windows are expected in its boot configuration, beside its bus
        // numbers; where that gives none, its allocated one is tried.
        tWindowOrigin origin = tWindowOrigin::kBootConfiguration;
        if (std::none_of(windows.begin(), windows.end(), [](const tResource& r) { return !r.unread; })) {
            std::optional<std::pair<std::uint32_t, std::uint32_t>> unused;
            readConfiguration(rootNode, rootId, ALLOC_LOG_CONF, kAddressesOnly, unused, &windows);
            origin = tWindowOrigin::kDescriptor;
        }
        // Depth first from the root bridge; a node met twice (a loop in a
        // database gone wrong) is not walked again.
        struct tStep {
            DEVINST node;
            std::optional<std::size_t> parentFunction;
        };
        std::vector<tNode> functions;
        std::vector<tStep> pending{{rootNode, std::nullopt}};
        std::unordered_set<DEVINST> seen;
        std::vector<DEVINST> children;
        while (!pending.empty()) {
            const tStep step = pending.back();
            pending.pop_back();
            if (!seen.insert(step.node).second) {
                continue;
            }
            std::optional<std::size_t> parentFunction = step.parentFunction;
            if (step.node != rootNode && !readNode(step.node, step.parentFunction, functions, parentFunction)) {
                return false;
            }
            if (!childrenOf(step.node, children)) {
                return false;
            }
            for (auto child = children.rbegin(); child != children.rend(); ++child) {
                pending.push_back({*child, parentFunction});
            }
        }
        addRoot(rootId, range, windows, origin, functions);
        return true;
    }

    // Reads one node; a PCI function is added to `functions` and becomes
    // the parent of what lies below it.
    bool readNode(DEVINST node, std::optional<std::size_t> parentFunction, std::vector<tNode>& functions,
                  std::optional<std::size_t>& below) {
        char id[kInstanceIdBufferSize];
        tStatusBlock scratch = makeStatusBlock();
        readInstanceId(node, id, scratch);
        if (scratch.isError()) {
            problems_.push_back("a node below a root bridge: its instance ID could not be read, so it is left out");
            return true;
        }
        if (!instanceIdMatches(id, sizeof id, "PCI\\*")) {
            return true;  // no function: walked through
        }
        const auto member = members_.find(node);
        if (member == members_.end()) {
            problems_.push_back(std::string(id) + ": in the tree but not in the device set; left out");
            return true;
        }
        tNode function;
        function.id = id;
        function.parentFunction = parentFunction;
        SP_DEVINFO_DATA& record = member->second;
        function.busNumber = registryDword(record, SPDRP_BUSNUMBER, "SPDRP_BUSNUMBER", function.id);
        function.address = registryDword(record, SPDRP_ADDRESS, "SPDRP_ADDRESS", function.id);
        function.uiNumber = registryDword(record, SPDRP_UI_NUMBER, "SPDRP_UI_NUMBER", function.id);
        function.deviceType = deviceUint(record, kPciDeviceTypeKey, "DEVPKEY_PciDevice_DeviceType", function.id);
        function.barTypes = deviceUint(record, kPciBarTypesKey, "DEVPKEY_PciDevice_BarTypes", function.id);
        function.problem = problemOf(node, function.id);
        readConfiguration(node, function.id, ALLOC_LOG_CONF, kEveryType, function.descriptor, &function.resources);
        std::erase_if(function.resources, [](const tResource& r) { return !r.unread && legacyVga(r); });
        if (!function.descriptor) {
            readConfiguration(node, function.id, BOOT_LOG_CONF, kBusNumbersOnly, function.descriptor, nullptr);
        }
        if (!function.busNumber || !function.address) {
            problems_.push_back(function.id + ": no bus number or address, so it is left out");
            return true;
        }
        below = functions.size();
        functions.push_back(std::move(function));
        return true;
    }

    // SPDRP_ADDRESS of a PCI function is (device << 16) | function.
    static tPciAddress addressOf(const tNode& node, std::uint32_t segment) {
        return {segment, busOf(*node.busNumber), static_cast<std::uint32_t>((*node.address >> 16) & 0x1fu),
                static_cast<std::uint32_t>(*node.address & 0x7u)};
    }

    void addRoot(const std::string& rootId, const std::optional<std::pair<std::uint32_t, std::uint32_t>>& range,
                 const std::vector<tResource>& windows, tWindowOrigin origin, const std::vector<tNode>& nodes) {
        tTopologyRoot root;
        root.name = rootId;
        // SPDRP_BUSNUMBER carries the bus in its low 8 bits. That higher bits
        // carry the segment is an assumption, from a comment in a widely used
        // PCI tool's Windows back end; Microsoft's pages say only "the
        // device's bus number". No machine with several segments has been
        // seen here to confirm it.
        if (!nodes.empty()) {
            root.segment = static_cast<std::uint32_t>((*nodes.front().busNumber >> 8) & 0xffffu);
        }
        if (range && (range->first > range->second || range->second > 0xffu)) {
            char text[96];
            std::snprintf(text, sizeof text, ": its boot configuration's range [%x, %x] is no bus range",
                          static_cast<unsigned>(range->first), static_cast<unsigned>(range->second));
            problems_.push_back(rootId + text);
        } else if (range) {
            root.bus = range->first;
            root.range = busRange(range->first, range->second, tWindowOrigin::kBootConfiguration);
        }
        if (!root.range) {
            // Without a range the root's bus is the one its functions sit on;
            // without those too, nothing says which bus it is.
            std::optional<std::uint32_t> bus;
            for (const tNode& node : nodes) {
                if (!node.parentFunction) {
                    bus = std::min(bus.value_or(0xffu), busOf(*node.busNumber));
                }
            }
            if (!bus) {
                problems_.push_back(rootId + ": neither a bus-number range nor a function below it says which bus "
                                             "it is, so it is left out");
                return;
            }
            root.bus = *bus;
            problems_.push_back(rootId + ": no bus-number range in its boot configuration");
        }
        for (const tNode& node : nodes) {
            tPciFunction function;
            function.address = addressOf(node, root.segment);
            if (node.parentFunction) {
                function.parent = addressOf(nodes[*node.parentFunction], root.segment);
            }
            root.functions.push_back(function);
        }
        inferWindows(nodes, root);
        readAddresses(nodes, windows, origin, root);
        // The index it is about to take: a root left out above took none.
        addSlots(nodes, root, topology_.roots.size());
        std::sort(root.functions.begin(), root.functions.end(),
                  [](const tPciFunction& a, const tPciFunction& b) { return a.address < b.address; });
        topology_.roots.push_back(std::move(root));
    }

    // What the tree shows of each bridge's window, and where its descriptor
    // may be believed.
    void inferWindows(const std::vector<tNode>& nodes, tTopologyRoot& root) {
        std::vector<std::vector<std::size_t>> children(nodes.size());
        for (std::size_t i = 0; i < nodes.size(); ++i) {
            if (nodes[i].parentFunction) {
                children[*nodes[i].parentFunction].push_back(i);
            }
        }
        // The highest bus below each function: its own bus at the least. A
        // function comes after its parent in the list, so walking it
        // backwards carries each maximum up.
        std::vector<std::uint32_t> highest(nodes.size());
        for (std::size_t i = nodes.size(); i-- > 0;) {
            highest[i] = std::max(highest[i], busOf(*nodes[i].busNumber));
            if (nodes[i].parentFunction) {
                highest[*nodes[i].parentFunction] = std::max(highest[*nodes[i].parentFunction], highest[i]);
            }
        }
        for (std::size_t i = 0; i < nodes.size(); ++i) {
            const tNode& node = nodes[i];
            const bool typed = node.deviceType && *node.deviceType >= kPciBridgeTypeFirst &&
                               *node.deviceType <= kPciBridgeTypeLast;
            if (!typed && children[i].empty()) {
                continue;
            }
            tPciFunction& function = root.functions[i];
            function.bridge = true;
            if (children[i].empty()) {
                function.windowHidden = true;  // an empty port: nothing below shows its numbers
                continue;
            }
            std::uint32_t secondary = 0xffu;
            std::uint32_t highestChild = 0;
            for (const std::size_t child : children[i]) {
                secondary = std::min(secondary, busOf(*nodes[child].busNumber));
                highestChild = std::max(highestChild, busOf(*nodes[child].busNumber));
            }
            if (secondary != highestChild) {
                problems_.push_back(node.id + ": the functions directly below it sit on different buses");
            }
            const std::uint32_t below = std::max(highest[i], secondary);
            if (node.descriptor && node.descriptor->first == secondary && node.descriptor->second >= below &&
                node.descriptor->second <= 0xffu) {
                function.secondary = node.descriptor->first;
                function.subordinate = node.descriptor->second;
                continue;
            }
            if (node.descriptor) {
                char text[96];
                std::snprintf(text, sizeof text, ": its bus-number descriptor [%02x-%02x] disagrees with the tree",
                              static_cast<unsigned>(node.descriptor->first & 0xffu),
                              static_cast<unsigned>(node.descriptor->second & 0xffu));
                problems_.push_back(node.id + text + ", so the tree's numbers are used");
            }
            function.secondary = secondary;
            function.subordinate = below;
            function.inferred = true;
        }
    }

    // The root's windows, each function's BARs and each bridge's windows,
    // and the functions Windows stopped.
    void readAddresses(const std::vector<tNode>& nodes, const std::vector<tResource>& rootWindows,
                       tWindowOrigin origin, tTopologyRoot& root) {
        // A descriptor that could not be read may have been anything in its
        // address space: every window it may lie in, its own function's
        // (were it a window) and the one above, is only a bound.
        std::vector<std::array<bool, 2>> unreadBelow(nodes.size() + 1, {false, false});  // last: the root
        const auto above = [&](const tNode& node) { return node.parentFunction.value_or(nodes.size()); };
        std::vector<std::vector<const tResource*>> childResources(nodes.size());
        for (std::size_t i = 0; i < nodes.size(); ++i) {
            for (const tResource& resource : nodes[i].resources) {
                if (resource.unread) {
                    unreadBelow[above(nodes[i])][resource.io() ? 0 : 1] = true;
                    unreadBelow[i][resource.io() ? 0 : 1] = true;
                } else if (nodes[i].parentFunction) {
                    childResources[*nodes[i].parentFunction].push_back(&resource);
                }
            }
        }
        for (const tResource& resource : rootWindows) {
            if (resource.unread) {
                unreadBelow[nodes.size()][resource.io() ? 0 : 1] = true;
            }
        }
        const auto window = [&](const tResource& resource, tWindowOrigin from, std::size_t owner) {
            const bool exact = !unreadBelow[owner][resource.io() ? 0 : 1];
            return tWindow{resource.kind(), resource.base, resource.end, from, exact};
        };
        // Known where at least one window was read; none read is unknown,
        // never "no window".
        if (std::any_of(rootWindows.begin(), rootWindows.end(), [](const tResource& r) { return !r.unread; })) {
            root.windows.emplace();
            for (const tResource& resource : rootWindows) {
                if (!resource.unread) {
                    root.windows->push_back(window(resource, origin, nodes.size()));
                }
            }
        }
        for (std::size_t i = 0; i < nodes.size(); ++i) {
            tPciFunction& function = root.functions[i];
            const std::vector<tResource>& resources = nodes[i].resources;
            const std::size_t windowsFrom =
                function.bridge ? firstWindow(nodes[i], childResources[i]) : resources.size();
            std::uint32_t slot = 0;
            bool memoryWindow = false;
            for (std::size_t k = 0; k < resources.size(); ++k) {
                const tResource& resource = resources[k];
                const bool isWindow = k >= windowsFrom && !resource.barFlag();
                if (resource.unread) {
                    slot += isWindow ? 0 : 1;
                    continue;
                }
                if (isWindow) {
                    tWindow made = window(resource, tWindowOrigin::kDescriptor, i);
                    made.kind = windowKind(resource, memoryWindow);
                    memoryWindow = memoryWindow || made.kind == tResourceKind::kMemory;
                    function.windows.push_back(made);
                    continue;
                }
                const bool is64 = resource.type == ResType_MemLarge || resource.end > 0xffffffffu;
                function.bars.push_back({"BAR " + std::to_string(slot), resource.kind(), resource.base, resource.end,
                                         is64, std::nullopt});
                slot += is64 ? 2 : 1;
            }
            if (nodes[i].problem) {
                const std::optional<std::uint32_t> barTypes =
                    nodes[i].barTypes ? std::optional<std::uint32_t>(*nodes[i].barTypes) : std::nullopt;
                root.deviceProblems.push_back(
                    {function.address, nodes[i].id, static_cast<std::uint32_t>(*nodes[i].problem), barTypes});
            }
        }
        std::sort(root.deviceProblems.begin(), root.deviceProblems.end(),
                  [](const tDeviceProblem& a, const tDeviceProblem& b) { return a.address < b.address; });
    }

    // The kind of a bridge's memory window where Windows leaves the
    // prefetchable flag unset: a bridge's non-prefetchable window decodes 32
    // bits only, so one ending above 4 GiB is the prefetchable one, as is a
    // second memory window after the non-prefetchable one (a bridge lists
    // its windows I/O, memory, prefetchable).
    static tResourceKind windowKind(const tResource& resource, bool afterMemoryWindow) {
        const tResourceKind kind = resource.kind();
        if (kind != tResourceKind::kMemory) {
            return kind;
        }
        return resource.end > 0xffffffffu || afterMemoryWindow ? tResourceKind::kPrefetchable : kind;
    }

    // Where a bridge's windows begin in its list, which holds its own BARs
    // first: at the first descriptor flagged as a window; without such a
    // flag, after as many descriptors as BarTypes counts BARs; without
    // BarTypes either, at the first descriptor that holds a resource of a
    // function below; and where nothing below holds one (an empty port), at
    // the start of the longest tail that a bridge's windows can make up: at
    // most one I/O window and two memory ones, one of them prefetchable.
    static std::size_t firstWindow(const tNode& node, const std::vector<const tResource*>& below) {
        const tResourcesBelow held(below);
        const std::vector<tResource>& resources = node.resources;
        for (std::size_t k = 0; k < resources.size(); ++k) {
            if (!resources[k].unread && resources[k].windowFlag()) {
                return k;
            }
        }
        if (node.barTypes) {
            const ULONG v = *node.barTypes;
            const std::size_t bars = (v & 0xffu) + ((v >> 8) & 0xffu) + ((v >> 16) & 0xffu) + ((v >> 24) & 0xffu);
            return std::min(bars, resources.size());
        }
        for (std::size_t k = 0; k < resources.size(); ++k) {
            if (held.anyInside(resources[k])) {
                return k;
            }
        }
        if (!below.empty()) {
            return resources.size();  // what lies below is in none of them: all are its own BARs
        }
        // At most one I/O window and two memory ones, of which at most one
        // is known to be prefetchable (flagged, or above 4 GiB).
        std::size_t io = 0;
        std::size_t memory = 0;
        std::size_t prefetchable = 0;
        std::size_t from = resources.size();
        while (from > 0) {
            const tResource& resource = resources[from - 1];
            if (resource.unread) {
                break;
            }
            const bool knownPrefetchable =
                !resource.io() && windowKind(resource, false) == tResourceKind::kPrefetchable;
            io += resource.io() ? 1 : 0;
            memory += resource.io() ? 0 : 1;
            prefetchable += knownPrefetchable ? 1 : 0;
            if (io > 1 || memory > 2 || prefetchable > 1) {
                break;
            }
            --from;
        }
        return from;
    }

    // A function's UI number names the slot it sits in; a port's, the slot
    // it drives, below it. Whether a slot is hot-plug is not visible. The
    // functions of a card, and the port above them, all name the same slot:
    // it is kept once per root bus. Two root buses are not compared, since
    // where the segment cannot be read two may share an address, each with
    // a slot 1 driven by its port 00:1c.0.
    void addSlots(const std::vector<tNode>& nodes, const tTopologyRoot& root, std::size_t rootIndex) {
        std::unordered_set<std::uint64_t> kept;
        for (std::size_t i = 0; i < nodes.size(); ++i) {
            if (!nodes[i].uiNumber || *nodes[i].uiNumber == kNoSlot) {
                continue;
            }
            const tPciFunction& function = root.functions[i];
            tPciSlot slot;
            slot.name = std::to_string(*nodes[i].uiNumber);
            slot.segment = root.segment;
            slot.root = rootIndex;
            if (function.bridge) {
                slot.port = function.address;
            } else {
                slot.bus = function.address.bus;
                if (function.parent) {
                    slot.port = function.parent;  // a card's slot is driven by the bridge above it
                }
            }
            if (kept.insert(slotKey(*nodes[i].uiNumber, slot.port)).second) {
                topology_.slots.push_back(std::move(slot));
            }
        }
    }

    // What makes two slots of one root bus the same: the UI number and the
    // port. Within a root the segment is one, and addressOf keeps a bus to 8
    // bits, a device to 5 and a function to 3, so the port fits 16 bits and
    // one more says there is none.
    static std::uint64_t slotKey(DWORD uiNumber, const std::optional<tPciAddress>& port) {
        std::uint64_t key = static_cast<std::uint64_t>(uiNumber) << 17;
        if (port) {
            key |= (1u << 16) | (port->bus << 8) | (port->device << 3) | port->function;
        }
        return key;
    }

public:
    // HackFlags of Windows' PCI driver, read only: a value, not set, or a
    // read the registry refused, which is said.
    void readHackFlags() {
        tHackFlagsRead flags;
        DWORD type = 0;
        DWORD value = 0;
        DWORD size = sizeof value;
        const LSTATUS result = services_.RegGetValueA(HKEY_LOCAL_MACHINE, kPciHackFlagsKey, kPciHackFlagsValue,
                                                      RRF_RT_REG_DWORD, &type, &value, &size);
        if (result == ERROR_SUCCESS && size == sizeof value) {
            flags.value = value;
        } else if (result != ERROR_FILE_NOT_FOUND) {
            flags.error = result == ERROR_SUCCESS ? static_cast<std::int32_t>(ERROR_INVALID_DATA) : result;
            problems_.push_back("HackFlags could not be read (error " + std::to_string(*flags.error) +
                                "), so whether Windows' PCI workarounds are set is unknown");
        }
        topology_.hackFlags = flags;
    }

    void finish() {
        topology_.problems.insert(topology_.problems.end(), problems_.begin(), problems_.end());
    }

private:
    iDeviceServices& services_;
    HDEVINFO set_;
    tTopology& topology_;
    std::string& failure_;
    std::unordered_map<DEVINST, SP_DEVINFO_DATA> members_;
    std::vector<DEVINST> order_;
    std::vector<std::string> problems_;
};

}  // namespace

// ERROR_INVALID_DATA for a registry property and ERROR_NOT_FOUND for
// another, as the SetupAPI pages say; Wine 8 leaves ERROR_FILE_NOT_FOUND,
// or no new error at all (so the enumeration's ERROR_NO_MORE_ITEMS is
// still there), as its test in tests/windows shows.
bool propertyNotSet(DWORD error) {
    return error == static_cast<DWORD>(ERROR_INVALID_DATA) || error == static_cast<DWORD>(ERROR_NOT_FOUND) ||
           error == static_cast<DWORD>(ERROR_FILE_NOT_FOUND) || error == static_cast<DWORD>(ERROR_NO_MORE_ITEMS);
}

bool deviceNumberType(DEVPROPTYPE type) {
    return type == DEVPROP_TYPE_UINT32 || type == DEVPROP_TYPE_INT32;
}

bool readWindowsTopology(tTopology& topology, std::string& failure) {
    topology = tTopology{};
    topology.exact = false;
    try {
        iDeviceServices& services = deviceServices();
        const HDEVINFO set = services.SetupDiGetClassDevsA(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES);
        if (set == INVALID_HANDLE_VALUE) {
            failure = "the device database: SetupDiGetClassDevsA failed (error " +
                      std::to_string(services.GetLastError()) + ")";
            return false;
        }
        const tDeviceSetGuard guard(set);
        tReader reader(set, topology, failure);
        if (!reader.readMembers() || !reader.readRoots()) {
            return false;
        }
        reader.readHackFlags();
        topology.addressesRead = true;
        reader.finish();
        return true;
    } catch (const std::bad_alloc&) {
        failure = "the device database: not enough memory to read it";
        return false;
    }
}

}  // namespace nROOTSCOPE_1_0

// SPDX-License-Identifier: MIT
// Small builders for simulated device trees, shared by the tests.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "SimulatedDeviceTree.h"

namespace nROOTSCOPE_1_0 {

// A node with no boot configuration.
inline tSimNode simNode(const char* id, bool started = true) {
    tSimNode node;
    node.id = id;
    node.started = started;
    return node;
}

// A bus-number descriptor with its allocated base and end.
inline tSimDescriptor busNumbers(std::uint32_t base, std::uint32_t end) {
    tSimDescriptor descriptor;
    descriptor.base = base;
    descriptor.end = end;
    return descriptor;
}

// A node whose boot configuration holds `descriptors`.
inline tSimNode bridge(const char* id, bool started, std::vector<tSimDescriptor> descriptors) {
    tSimNode node = simNode(id, started);
    node.bootConfig.emplace();
    node.bootConfig->descriptors = std::move(descriptors);
    return node;
}

inline tSimTree treeOf(std::vector<tSimNode> nodes) {
    tSimTree tree;
    tree.nodes = std::move(nodes);
    return tree;
}

}  // namespace nROOTSCOPE_1_0

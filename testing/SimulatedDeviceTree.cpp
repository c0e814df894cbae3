// SPDX-License-Identifier: MIT
#include "SimulatedDeviceTree.h"

#include <utility>

namespace nROOTSCOPE_1_0 {

tSimulatedDeviceTree::tSimulatedDeviceTree(tSimTree tree)
    : emulation_(std::move(tree.nodes), tree.hackFlags), faults_(emulation_) {
    emulation_.endEnumerationWith(tree.enumError);
    emulation_.useAllocator(faults_.allocator());
    if (tree.openSetFails) {
        faults_.failEvery(tSimCall::OpenSet, ERROR_GEN_FAILURE);
    }
    if (tree.detailQueryFails) {
        faults_.failEvery(tSimCall::DescribeSet, ERROR_GEN_FAILURE);
    }
    for (const tSimFailure& failure : tree.failCalls) {
        faults_.failNth(failure);
    }
    if (tree.heapFailsAfter) {
        faults_.exhaustHeapAfter(*tree.heapFailsAfter);
    }
}

}  // namespace nROOTSCOPE_1_0

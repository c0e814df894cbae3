// SPDX-License-Identifier: MIT
// What rootscope-headroom prints: the view a person reads and the JSON
// document for scripts and fleet inventories.
#pragma once

#include <string>

#include "Headroom.h"

namespace nROOTSCOPE_1_0 {

// Per root bus: its range and where it came from, a map of its bus numbers
// (B a bus, r reserved, . free, 64 to a line), the counts in words and its
// slots; then where to plug the next expansion chassis. `kernelLogClosed`:
// the ranges from the ECAM window are all this user could see.
std::string headroomView(const tHeadroom& headroom, bool kernelLogClosed);

// {"format": "rootscope-headroom 1", "root_buses": [...]}: root buses in
// (segment, bus) order, valid bridges in address order, slots in name
// order; what fits no key of the format under "extra". "exact" is false
// where claimed and buses are lower bounds and free an upper bound.
std::string headroomJson(const tHeadroom& headroom);

}  // namespace nROOTSCOPE_1_0

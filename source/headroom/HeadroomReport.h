// SPDX-License-Identifier: MIT
// What rootscope-headroom prints: the view a person reads, the JSON
// document for scripts and fleet inventories, and gauges for a metrics
// collector.
#pragma once

#include <string>
#include <string_view>

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

// The numbers of headroomJson as gauges in the Prometheus text exposition
// format 0.0.4, labelled by segment, bus (two hex digits), slot, type and
// state; a value that is unknown has no sample, never 0.
std::string headroomMetrics(const tHeadroom& headroom);

// What a machine that could not be read gives: read_success at 0 alone.
std::string headroomMetricsUnread();

// A JSON string: quotes, backslashes and control characters escaped, and
// bytes that are not UTF-8 replaced by U+FFFD. Every JSON the programs
// write quotes its strings with it.
std::string jsonString(std::string_view text);

}  // namespace nROOTSCOPE_1_0

// SPDX-License-Identifier: MIT
// Device-tree fixtures for the simulated device database, as JSON.
#pragma once

#include <string>

#include "SimulatedDeviceTree.h"

namespace nROOTSCOPE_1_0 {

// Parses a fixture's text. On failure returns false and sets `error` to one
// line naming the offending field ("nodes[2].boot_config.end_result: ...").
// Unknown keys are errors, so a misspelt field cannot pass silently.
bool parseSimTree(const std::string& text, tSimTree& tree, std::string& error);

// Reads and parses a fixture file; `error` names the file too.
bool loadSimTree(const std::string& path, tSimTree& tree, std::string& error);

}  // namespace nROOTSCOPE_1_0

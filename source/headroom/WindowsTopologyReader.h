// SPDX-License-Identifier: MIT
// The PCI topology as Windows gives it to an ordinary program, through the
// device-services seam (SetupAPI and the configuration manager; in tests
// and on Linux, a simulated tree):
//
// - root buses: the started ACPI\PNP0A03\* and ACPI\PNP0A08\* nodes, each
//   with the range of its boot configuration, read as rootscope reads it,
//   and named by its instance ID;
// - the tree: CM_Get_Child and CM_Get_Sibling from each root bridge down;
//   every node whose ID begins "PCI\" is a function;
// - a function's bus: the low 8 bits of SPDRP_BUSNUMBER; its device and
//   function: SPDRP_ADDRESS, (device << 16) | function; its slot:
//   SPDRP_UI_NUMBER (0xFFFFFFFF or missing: none), kept under the root
//   bus it was found below; whether it is a bridge:
//   DEVPKEY_PciDevice_DeviceType 6 to 13, or functions below it;
// - a bridge's window: the bus-number descriptor of its allocated, else its
//   boot configuration, when the tree agrees with it (its base is the bus
//   of the bridge's children, its end at or above every bus below);
//   otherwise inferred from the tree: secondary = the children's bus,
//   subordinate at least the highest bus below, and an empty port's
//   numbers not visible at all.
//
// So the topology is not exact: what it claims are lower bounds.
#pragma once

#include <string>

#include "Topology.h"

namespace nROOTSCOPE_1_0 {

// Reads the installed device services. A property that is missing or of
// another type is unknown; a device set that cannot be opened or walked, a
// tree walk or a configuration that cannot be read, gives false and says
// what failed in `failure`.
bool readWindowsTopology(tTopology& topology, std::string& failure);

}  // namespace nROOTSCOPE_1_0

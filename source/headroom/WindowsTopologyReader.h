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
//   numbers not visible at all;
// - each configuration is walked once, for its bus-number, memory,
//   large-memory and I/O descriptors (no other is sized or read);
// - a function's BARs: the memory and I/O descriptors of its allocated
//   configuration in order, named "BAR k" as the BAR slots go (a 64-bit one,
//   large-memory or ending above 4 GiB, takes two); prefetchable by
//   fMD_PrefetchAllowed; the legacy VGA ranges of a video device are left
//   out, being no BARs;
// - a bridge's windows: the same list after its own BARs. The window part
//   starts at the first descriptor flagged fIOD_WINDOW_DECODE or
//   fMD_WINDOW_DECODE (where one carries fIOD_PORT_BAR or fMD_MEMORY_BAR it
//   is still a BAR); without such a flag, after as many descriptors as
//   DEVPKEY_PciDevice_BarTypes counts BARs; without BarTypes either, at the
//   first descriptor that holds a resource of a function directly below
//   (none held: all are its BARs); and where nothing below has resources (an
//   empty port), at the start of the longest tail a bridge's windows can
//   make up: one I/O window and two memory ones. A memory window is the
//   prefetchable one when flagged fMD_PrefetchAllowed, or, where Windows
//   leaves that unset, when it ends above 4 GiB (the other decodes 32 bits)
//   or follows the non-prefetchable one;
// - a root bus's windows: the memory and I/O descriptors of its root
//   bridge's boot configuration, else of its allocated one; none: unknown;
// - a descriptor that cannot be read is said as a problem, and every window
//   it may lie in (its own function's, the one above) is only a bound;
// - a function Windows stopped: CM_Get_DevNode_Status with DN_HAS_PROBLEM,
//   its problem number and BarTypes; a status that cannot be read is said;
// - HackFlags under HKLM\SYSTEM\CurrentControlSet\Control\PnP\Pci, read
//   only: a value, not set, or a refused read, said as a problem.
//
// So the bus numbers are not exact: what it claims are lower bounds; memory
// and I/O are exact where every descriptor was read.
#pragma once

#include <string>

#include "DeviceTypes.h"
#include "Topology.h"

namespace nROOTSCOPE_1_0 {

// Reads the installed device services. A property that is missing or of
// another type is unknown; a property or a configuration that cannot be
// read is unknown too, and said among the problems; a device set that
// cannot be opened or walked, or a tree walk that fails, gives false and
// says what failed in `failure`.
bool readWindowsTopology(tTopology& topology, std::string& failure);

// Whether the error a failed property read left says only that the device
// has no such property: the property is then unknown, and nothing more.
bool propertyNotSet(DWORD error);

// Whether a device property of this type is taken as a 32-bit number.
bool deviceNumberType(DEVPROPTYPE type);

}  // namespace nROOTSCOPE_1_0

// SPDX-License-Identifier: MIT
// The PCI topology of a Linux machine, from what sysfs gives any user:
//
// - root buses: every host bridge "pciDDDD:BB" at the top of sys/devices,
//   and any nearer one a function sits below (a VMD domain nests its host
//   bridge below a device); each function belongs to its nearest one;
// - functions: the entries of sys/bus/pci/devices, followed to their real
//   directories; the bridge directly above a function is its nearest
//   ancestor directory named as a function;
// - bridge windows: secondary_bus_number and subordinate_bus_number (from
//   kernel 4.13), else, for a function whose class is a bridge's or cannot
//   be read, bytes 0x19 and 0x1a of a type 1 or 2 header in the first 64
//   bytes of config, which any user may read;
// - virtual functions: a physfn link;
// - slots: sys/bus/pci/slots/NAME/address; a power file means hot-plug;
// - ranges: as RootBusRanges.h finds them, with the ACPI name of the node
//   bound to each host bridge, exactly as rootscope reads them;
// - address resources: each function's resource file (its BARs, ROM and
//   SR-IOV BARs; a bridge's windows) and resourceN_resize for each BAR 0-5
//   it has; a virtual function's BARs are counted in its physical
//   function's SR-IOV BARs, so its own file is not read. A bridge whose
//   file has no window lines (the kernel did not scan behind it) has them
//   from its config header;
// - root windows: as RootBusRanges.h finds them (kernel log, else root's
//   /proc/iomem and /proc/ioports, else unknown);
// - resources that got no space: the log's assignment lines, for the
//   functions there now.
#pragma once

#include <string>

#include "Sysroot.h"
#include "Topology.h"

namespace nROOTSCOPE_1_0 {

// Reads the machine under `root` ("/" for this one), every path resolved
// beneath it. What does not exist or holds what the rules refuse is left
// out, or noted as a problem of the machine; any other failure gives false,
// with what could not be read and why in `failure`.
bool readLinuxTopology(const std::string& root, tTopology& topology, tReadFailure& failure);

}  // namespace nROOTSCOPE_1_0

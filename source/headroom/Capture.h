// SPDX-License-Identifier: MIT
// rootscope-headroom --capture: this machine's device tree as a fixture of
// the simulated tree (testing/Fixture.h), which rootscope-headroom-sim
// --tree replays through the same Windows reader, so that a user's machine
// can be looked at, and kept as a golden, anywhere.
//
// What it holds: every node the Windows reader visits, that is, the started
// ACPI\PNP0A03\* and ACPI\PNP0A08\* root bridges and every node below them
// (CM_Get_Child, CM_Get_Sibling), each with its parent's index; its
// instance ID, whether it is started and its problem; the properties the
// reader reads (SPDRP_BUSNUMBER, SPDRP_ADDRESS, SPDRP_UI_NUMBER,
// DEVPKEY_PciDevice_DeviceType, DEVPKEY_PciDevice_BarTypes); its boot and
// allocated configurations with their bus-number, memory, large-memory and
// I/O descriptors; and the PCI driver's HackFlags. Nothing else: an
// instance ID's last part is kept only where it has the form of a location
// Windows builds (hex fields joined by "&"), since a device may put its
// serial number there; a node that is neither a PCI function nor a root
// bridge, only walked through, is named "CAPTURED\NODE\n".
//
// A read that fails is recorded where the fixture can say it, so the replay
// fails the same way: an ID, a status, a configuration, a descriptor's size
// or data in the node; a property read that fails with an error other than
// "not set" as a numbered failure of that call ("fail_calls"), counted as
// the reader counts its reads (properties in the order of the walk, each
// function's registry properties together, and every function's
// DEVPKEY_PciDevice_DeviceType before any DEVPKEY_PciDevice_BarTypes).
#pragma once

#include <cstddef>
#include <string>

namespace nROOTSCOPE_1_0 {

struct tCapture {
    std::string fixture;  // the JSON text, ending in a newline
    std::size_t nodes = 0;
    std::size_t roots = 0;
};

// Captures the device tree of the installed device services. False when the
// tree itself cannot be walked (the device set cannot be opened or
// enumerated, a CM_Get_Child or CM_Get_Sibling fails, memory runs out), with
// what failed in `failure`, worded as the reader words it.
bool captureDeviceTree(tCapture& capture, std::string& failure);

// Writes `text` to `path` whole or not at all: into a new file beside it,
// renamed over it once every byte is written and flushed. A path that names
// a device or a pipe (/dev/stdout) is written directly, since nothing can
// be renamed over it. False, with the reason (strerror's words), when any
// step fails; the file beside it is removed then.
bool writeFileWhole(const std::string& path, const std::string& text, std::string& reason);

// Exposed for the tests: the ID a capture keeps of an instance ID read
// from node number `index` of the capture.
std::string capturedInstanceId(const std::string& id, std::size_t index);

// Exposed for the tests: `text` as a JSON string, quotes included.
std::string jsonString(const std::string& text);

}  // namespace nROOTSCOPE_1_0

// SPDX-License-Identifier: MIT
// rootscope-headroom --capture: this machine's device tree as a fixture of
// the simulated tree (testing/Fixture.h), which rootscope-headroom-sim
// --tree replays through the same Windows reader, so that a user's machine
// can be looked at, and kept as a golden, anywhere.
//
// It is a recording of one run of that reader: the services are wrapped in
// a decorator that passes every call on and keeps what each answered, so
// the file holds what the reader read, in the order it read it, and nothing
// more. Every member of the device set, in the set's order, each followed
// by what the tree showed below it, with its parent's index; of each node,
// what the reader asked: its instance ID, whether it is started and its
// problem, SPDRP_BUSNUMBER, SPDRP_ADDRESS, SPDRP_UI_NUMBER,
// DEVPKEY_PciDevice_DeviceType and DEVPKEY_PciDevice_BarTypes, and the
// descriptors of its boot and allocated configurations that the reader
// sized (bus-number, memory, large-memory and I/O: an interrupt it steps
// over is left out); and the PCI driver's HackFlags. An instance ID's last
// part is kept only where it has the form of a location Windows builds (hex
// fields joined by "&"), since a device may put its serial number there; a
// node that is neither a PCI function nor a root bridge is named
// "CAPTURED\NODE\n".
//
// A read that fails is recorded where the fixture can say it, so the replay
// fails the same way: an ID or a status that failed every time it was read,
// a configuration, a descriptor's size or data, the end of a walk, in the
// node; the end of the enumeration as "enum_error"; any other failure (the
// device set, CM_Get_Child, CM_Get_Sibling, a property read that fails
// other than "not set", an ID read that failed once and answered once) as a
// numbered failure of its call ("fail_calls"), counted in this run's order,
// which is the replay's.
#pragma once

#include <cstddef>
#include <string>

namespace nROOTSCOPE_1_0 {

struct tCapture {
    std::string fixture;  // the JSON text, ending in a newline
    std::size_t nodes = 0;  // the nodes it holds
    std::size_t roots = 0;  // of those, the started root bridges
};

// Runs the Windows reader over the installed device services and captures
// what it read. Its answer is the reader's, with the reader's failure in
// `failure`; the capture is made either way, since a machine the reader
// fails on replays to the same failure. Only when memory for the capture
// itself runs out is it left empty, and `failure` says so.
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

}  // namespace nROOTSCOPE_1_0

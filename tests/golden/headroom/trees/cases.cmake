# name, expected exit code
# A laptop (the machine of headroom/laptop_thunderbolt as Windows shows it):
# a root port, a Thunderbolt dock's switch, empty hot-plug ports.
rootscope_headroom_tree(laptop_thunderbolt 0)
rootscope_headroom_tree(two_root_server 0)
# Two root buses that both come out as 0000:00 (Windows' bus numbers carry
# no segment here), each with a slot 1 on a port 00:1c.0, after a root
# bridge left out: each slot stays under the root it was found under.
rootscope_headroom_tree(two_roots_one_address 0)
# A bridge whose allocated bus-number descriptor agrees with the tree (used,
# exact) and ones whose descriptors contradict it (ignored, noted).
rootscope_headroom_tree(descriptor_agrees 0)
rootscope_headroom_tree(descriptor_contradicts 0)
# Bridges whose allocated and boot configurations both give bus numbers, and
# differ (the system renumbered them after boot): the allocated ones are
# what the bridge holds now, so they win, whether the boot ones also agree
# with the tree (00:1c.0) or not (00:1e.0); without an allocated one, the
# boot one is used (00:1d.0).
rootscope_headroom_tree(descriptor_allocated_over_boot 0)
# Properties missing: functions left out, a bridge known by its children
# only, an empty bridge, root bridges without a usable range.
rootscope_headroom_tree(missing_properties 0)
# Each new call failing: a tree walk that fails cannot be read; a property
# that fails is unknown and said.
set(unreadable "^rootscope-headroom-sim: cannot read the device database: ")
rootscope_headroom_tree(fail_child_fails 1 ERROR "${unreadable}CM_Get_Child failed \\(CONFIGRET 0x13\\)\n$")
rootscope_headroom_tree(fail_sibling_fails 1 ERROR "${unreadable}CM_Get_Sibling failed \\(CONFIGRET 0x13\\)\n$")
# A configuration that cannot be read is unknown and said, the rest read.
rootscope_headroom_tree(fail_allocated_configuration_fails 0)
rootscope_headroom_tree(fail_registry_property_fails 0)
rootscope_headroom_tree(fail_device_property_fails 0)
# A memory BAR's data that cannot be read: unknown and said, and every window
# it may lie in (the root bus's memory windows) only a bound.
rootscope_headroom_tree(fail_memory_descriptor_fails 0)
# Memory and I/O as Windows lists them. An eGPU with Code 12 below a chassis
# bridge that got no prefetchable window; the same machine with HackFlags
# 0x400 set and a second chassis whose card has Code 31, and with HackFlags
# unreadable. A 16 GiB BAR as a large-memory descriptor; two root buses with
# windows above 4 GiB; bridges with no I/O window, split by their BarTypes; a
# root bridge whose boot configuration gives only its bus numbers.
rootscope_headroom_tree(egpu_code12 0)
rootscope_headroom_tree(hack_flags_set 0)
rootscope_headroom_tree(hack_flags_unreadable 0)
rootscope_headroom_tree(desktop_large_bar 0)
rootscope_headroom_tree(two_root_server_above_4g 0)
rootscope_headroom_tree(bridge_without_io_window 0)
rootscope_headroom_tree(root_without_memory 0)
# A root bridge whose windows all lie below 4 GiB: the firmware decodes
# nothing above, and the advice names its setting, as on Linux.
rootscope_headroom_tree(no_window_above_4g 0)

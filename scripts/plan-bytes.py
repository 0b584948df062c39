#!/usr/bin/env python3
"""Prints the bytes a plan file counts as on disk (0 for a missing or short
file).

The fields follow the two lines (each ended by CR CR LF). This client's
layout: the mark FE FF FF FF, the size (8 bytes), the date (8), the number
of range slots (4) and the slots (start and inclusive end, 8 bytes each);
the slots list the bytes still needed, everything else is on disk. The
earlier layouts part the file in four ranges, each needing the bytes from
its start to its end: the mark FF FF FF FF, the size (8), the date (8) and
the eight values (8 bytes each); or the size (4), the date (8) and eight
values of 4 bytes each. The validators may follow the fields."""
import struct
import sys

try:
    data = open(sys.argv[1], "rb").read()
except OSError:
    data = b""
first = data.find(b"\r\r\n")
second = data.find(b"\r\r\n", first + 3) if first >= 0 else -1
total = 0
if second >= 0:
    fields = second + 3
    mark = data[fields:fields + 4]
    ranges, size = [], 0
    if mark == b"\xfe\xff\xff\xff" and len(data) >= fields + 24:
        size, = struct.unpack("<q", data[fields + 4:fields + 12])
        count, = struct.unpack("<I", data[fields + 20:fields + 24])
        at = fields + 24
        if len(data) >= at + 16 * count:
            values = struct.unpack("<%dq" % (2 * count), data[at:at + 16 * count])
            ranges = [(values[k], values[k + 1]) for k in range(0, 2 * count, 2)]
    else:
        if mark == b"\xff\xff\xff\xff":
            at, form, count = fields + 20, "<8q", 64
            head = "<q", fields + 4
        else:
            at, form, count = fields + 12, "<8i", 32
            head = "<i", fields
        if len(data) >= at + count:
            size, = struct.unpack(head[0], data[head[1]:head[1] + struct.calcsize(head[0])])
            values = struct.unpack(form, data[at:at + count])
            ranges = [(values[k], values[k + 1]) for k in range(0, 8, 2)]
    # What no range needs is on disk; overlapping ranges need their bytes
    # once.
    needed, reach = 0, 0
    for start, end in sorted(r for r in ranges if r[0] <= r[1]):
        start = max(start, reach)
        if end >= start:
            needed += end - start + 1
            reach = end + 1
    if ranges:
        total = size - needed
print(total)

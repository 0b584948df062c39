#!/usr/bin/env python3
"""Prints the bytes a plan file counts as on disk: over its four ranges,
each range's start minus its first byte (0 for a missing or short file).

The fields follow the two lines (each ended by CR CR LF): the mark
FF FF FF FF, the size (8 bytes), the date (8) and the eight range values
(8 bytes each); a plan of the previous release holds the size (4 bytes),
the date (8) and eight range values of 4 bytes each. The validators may
follow them."""
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
    if data[fields:fields + 4] == b"\xff\xff\xff\xff":
        at, form, count = fields + 20, "<8q", 64
    else:
        at, form, count = fields + 12, "<8i", 32
    if len(data) >= at + count:
        values = struct.unpack(form, data[at:at + count])
        origin = 0
        for k in range(0, 8, 2):
            total += values[k] - origin
            origin = values[k + 1] + 1
print(total)

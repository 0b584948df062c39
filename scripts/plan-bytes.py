#!/usr/bin/env python3
"""Prints the bytes a plan file counts as on disk: over its four ranges,
each range's start minus its first byte (0 for a missing or short file).

The ranges follow the two lines (each ended by CR CR LF), the size (4
bytes) and the date (8); the validators may follow them."""
import struct
import sys

try:
    data = open(sys.argv[1], "rb").read()
except OSError:
    data = b""
first = data.find(b"\r\r\n")
second = data.find(b"\r\r\n", first + 3) if first >= 0 else -1
fields = second + 3 + 12
total = 0
if second >= 0 and len(data) >= fields + 32:
    values = struct.unpack("<8i", data[fields:fields + 32])
    origin = 0
    for k in range(0, 8, 2):
        total += values[k] - origin
        origin = values[k + 1] + 1
print(total)

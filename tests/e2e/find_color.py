#!/usr/bin/env python3
"""Prints "X Y", the centre of the pixels of one exact colour in a PPM (P6)
screenshot read from stdin, or exits with 1 when the colour is absent."""
import sys


def main():
    want = bytes(int(sys.argv[1][i:i + 2], 16) for i in (0, 2, 4))
    data = sys.stdin.buffer.read()
    fields, pos = [], 0
    while len(fields) < 4:
        while data[pos:pos + 1].isspace():
            pos += 1
        if data[pos:pos + 1] == b'#':
            pos = data.index(b'\n', pos)
            continue
        end = pos
        while not data[end:end + 1].isspace():
            end += 1
        fields.append(data[pos:end])
        pos = end
    if fields[0] != b'P6' or fields[3] != b'255':
        sys.exit(2)
    width = int(fields[1])
    pixels = data[pos + 1:]
    xs, ys = [], []
    start = pixels.find(want)
    while start != -1:
        if start % 3 == 0:
            xs.append((start // 3) % width)
            ys.append((start // 3) // width)
        start = pixels.find(want, start + 1)
    if not xs:
        sys.exit(1)
    print(sum(xs) // len(xs), sum(ys) // len(ys))


main()

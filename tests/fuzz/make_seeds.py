#!/usr/bin/env python3
"""Writes the fuzzers' seed inputs under tests/fuzz/corpus/ (run from anywhere;
the files are checked in, this only documents and recreates them)."""
import os
import struct

HERE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus")


def put(fuzzer, name, data):
    folder = os.path.join(HERE, fuzzer)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)


def version_block(value=b"1.0.2002.624"):
    strings = [(b"FileVersion", value), (b"ProductName", b"Chronark")]
    raw = b"VERBLK1\0" + struct.pack("<8H", 1, 0, 2002, 624, 1, 0, 2002, 624)
    raw += struct.pack("<HI", 1, 0x04E40407) + struct.pack("<H", len(strings))
    for key, text in strings:
        raw += struct.pack("<H", len(key)) + key + struct.pack("<H", len(text)) + text
    return raw


def elf(wide, big, block):
    """An ELF file with the sections null, .shstrtab and .versioninfo."""
    e = ">" if big else "<"
    names = b"\0.shstrtab\0.versioninfo\0"
    header_size, entry_size = (64, 64) if wide else (52, 40)
    names_at = header_size
    block_at = names_at + len(names)
    table_at = block_at + len(block)
    ident = b"\x7fELF" + bytes([2 if wide else 1, 2 if big else 1, 1]) + bytes(9)
    if wide:
        header = ident + struct.pack(e + "HHIQQQIHHHHHH", 3, 62, 1, 0, 0, table_at, 0,
                                     header_size, 0, 0, entry_size, 3, 1)
    else:
        header = ident + struct.pack(e + "HHIIIIIHHHHHH", 3, 3, 1, 0, 0, table_at, 0,
                                     header_size, 0, 0, entry_size, 3, 1)

    def section(name, kind, offset, size):
        if wide:
            return struct.pack(e + "IIQQQQIIQQ", name, kind, 0, 0, offset, size, 0, 0, 1, 0)
        return struct.pack(e + "IIIIIIIIII", name, kind, 0, 0, offset, size, 0, 0, 1, 0)

    table = bytes(entry_size) + section(1, 3, names_at, len(names)) + \
        section(11, 1, block_at, len(block))
    return header + names + block + table


def http(selector, flags, response):
    return bytes([selector, flags]) + response


def main():
    for wide in (False, True):
        for big in (False, True):
            put("versionblock", "elf%d%s" % (64 if wide else 32, "be" if big else "le"),
                elf(wide, big, version_block()))
    put("versionblock", "block", version_block(b"1.0.2002.625"))
    put("versionblock", "versions", b"1.0.2002.625\n1.0.2002.624")

    ok = b"HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\n[chronark]\r\nVersion=1\r\n"
    put("http", "version-document", http(0x07, 0x00, ok))
    # Header lines at and one byte past the 8,192-byte receive buffer.
    for name, size in (("line-8192", 8192), ("line-8193", 8193)):
        line = b"X-Long: " + b"a" * (size - 10) + b"\r\n"
        put("http", name, http(0x06, 0x00, b"HTTP/1.0 200 OK\r\n" + line + b"\r\nbody"))
    # 1,000 header lines (the status line among them) and one more.
    for name, count in (("lines-1000", 1000), ("lines-1001", 1001)):
        lines = b"".join(b"X-%d: v\r\n" % i for i in range(count - 1))
        put("http", name, http(0x05, 0x00, b"HTTP/1.0 200 OK\r\n" + lines + b"\r\nbody"))
    put("http", "relocated", http(0x04, 0x02, b"HTTP/1.0 302 Found\r\nLocation: /next\r\n\r\n"
                                  b"\xff\xfeHTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\nbody"))

    put("url", "full", b"http://u:p@fuzz.example:8080/dir/doc.exe?q=1#frag\n../up/x.txt\n"
                       b"https://other.example/y")
    put("url", "bare", b"fuzz.example/a/b/\n./c\nhttp://fuzz.example:80/d")
    put("url", "proxyless", b"http://[::1]:81/\n//host.example/path\n/abs?x")

    record = bytes(8) + bytes(8) + bytes(8) + b"\x05Notiz" + bytes(280 - 30)
    put("core", "record", b"\x00" + record)
    put("core", "ini", b"\x01[Main]\r\nProject=a.crf\r\n")
    put("core", "replace", b"\x02%name%|Chronark|<b>%NAME%</b>")
    put("core", "cp1252", b"\x03Gr\xfc\xdfe \x80 \x81")


if __name__ == "__main__":
    main()

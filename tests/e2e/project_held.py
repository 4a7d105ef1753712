#!/usr/bin/env python3
"""Exits 0 when a program holds the project given as argument open (the
"open" byte of its lock file is locked), 1 otherwise. The lock folder is
$XDG_RUNTIME_DIR/chronark/, the name the FNV-1a hash of the real path."""
import fcntl
import os
import struct
import sys


def key(path):
    h = 14695981039346656037
    for b in os.fsencode(path):
        h = ((h ^ b) * 1099511628211) & 0xFFFFFFFFFFFFFFFF
    return '%016x' % h


def main():
    lock = os.path.join(os.environ['XDG_RUNTIME_DIR'], 'chronark',
                        key(os.path.realpath(sys.argv[1])) + '.lock')
    try:
        fd = os.open(lock, os.O_RDONLY)
    except OSError:
        return 1
    # struct flock on x86-64: l_type, l_whence, (pad), l_start, l_len, l_pid, (pad).
    probe = struct.pack('hh4xqqi4x', fcntl.F_WRLCK, os.SEEK_SET, 0, 1, 0)
    answer = fcntl.fcntl(fd, fcntl.F_OFD_GETLK, probe)
    os.close(fd)
    return 0 if struct.unpack('hh4xqqi4x', answer)[0] != fcntl.F_UNLCK else 1


sys.exit(main())

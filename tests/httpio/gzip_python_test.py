#!/usr/bin/env python3
"""Python's gzip module reads what the writer compresses, and the writer reads what Python compresses."""
import gzip
import os
import subprocess
import sys

tool = sys.argv[1]
bodies = [b"", b"1.3.1482.0", bytes(range(256)) * 3, b"Wake-on-LAN " * 20000, os.urandom(100000)]
failures = 0
for body in bodies:
    packed = subprocess.run([tool, "c"], input=body, capture_output=True, check=True).stdout
    if gzip.decompress(packed) != body:
        print(f"python could not read back a body of {len(body)} bytes", file=sys.stderr)
        failures += 1
    if packed[4:8] != b"\0\0\0\0":
        print("modification time is not 0", file=sys.stderr)
        failures += 1
    unpacked = subprocess.run([tool, "d"], input=gzip.compress(body, mtime=0), capture_output=True,
                              check=True).stdout
    if unpacked != body:
        print(f"the writer could not read python's gzip of {len(body)} bytes", file=sys.stderr)
        failures += 1
bad = subprocess.run([tool, "d"], input=b"not gzip", capture_output=True)
if bad.returncode == 0:
    print("data that is no gzip was accepted", file=sys.stderr)
    failures += 1
sys.exit(1 if failures else 0)

#!/usr/bin/env python3
"""Checks kavtel.dll's version resource against the project's version: the
fixed file and product versions (VS_FIXEDFILEINFO) and the FileVersion and
ProductVersion strings, as Windows shows them in the file's properties.

usage: check_dll_version.py <kavtel.dll> <version, e.g. 1.2.3>
"""
import struct
import sys

FIXED_SIGNATURE = 0xFEEF04BD


def main():
    dll, version = sys.argv[1:3]
    data = open(dll, "rb").read()
    failures = []
    parts = [int(p) for p in version.split(".")] + [0]
    want_ms, want_ls = (parts[0] << 16) | parts[1], (parts[2] << 16) | parts[3]
    at = data.find(struct.pack("<I", FIXED_SIGNATURE))
    if at < 0:
        failures.append("no version resource (VS_FIXEDFILEINFO) in %s" % dll)
    else:
        _, _, file_ms, file_ls, product_ms, product_ls = struct.unpack_from("<6I", data, at)
        for what, ms, ls in (("file", file_ms, file_ls), ("product", product_ms, product_ls)):
            if (ms, ls) != (want_ms, want_ls):
                failures.append("%s version %d.%d.%d.%d, expected %s.0"
                                % (what, ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF, version))
    for key in ("FileVersion", "ProductVersion"):
        # A String entry: its key, zero padding to 32 bits, then the value, in UTF-16.
        key_bytes = (key + "\0").encode("utf-16-le")
        at = data.find(key_bytes)
        if at < 0:
            failures.append("no %s string" % key)
            continue
        at += len(key_bytes)
        at += (-at) % 4
        end = data.find(b"\0\0", at)
        while end >= 0 and (end - at) % 2:
            end = data.find(b"\0\0", end + 1)
        value = data[at:end].decode("utf-16-le")
        if value != version:
            failures.append("%s string %r, expected %r" % (key, value, version))
    for failure in failures:
        print("FAIL: " + failure)
    if failures:
        return 1
    print("kavtel.dll carries version %s" % version)
    return 0


if __name__ == "__main__":
    sys.exit(main())

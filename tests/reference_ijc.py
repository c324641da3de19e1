#!/usr/bin/env python3
"""Writes the IJC bytes of a CAP file as an independent reader sees them.

Each entry in central-directory order gives its first component-length bytes
(tag, big-endian size, content) when it holds that many, and nothing when it
holds fewer: a manifest, a class file or a folder is no component.

Usage: reference_ijc.py OUTDIR CAPFILE...   (writes OUTDIR/NAME.ijc for each)
"""
import os
import sys
import zipfile


def component_bytes(data: bytes) -> bytes:
    size = (data[1] if len(data) > 1 else 0) * 256 + (data[2] if len(data) > 2 else 0)
    length = size + 3
    return data[:length] if len(data) >= length else b""


def main() -> int:
    out = sys.argv[1]
    for cap in sys.argv[2:]:
        name = os.path.splitext(os.path.basename(cap))[0] + ".ijc"
        with zipfile.ZipFile(cap) as archive, open(os.path.join(out, name), "wb") as ijc:
            for info in archive.infolist():
                ijc.write(component_bytes(archive.read(info)))
    return 0


if __name__ == "__main__":
    sys.exit(main())

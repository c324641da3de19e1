#!/usr/bin/env python3
"""Writes a small CAP file of a wallet package: Header, Directory, Applet and
Import components, plus the manifest that converters usually add.

Usage: make-sample-cap.py OUTFILE
"""
import sys
import zipfile


def component(tag: int, content: bytes) -> bytes:
    return bytes([tag, len(content) >> 8, len(content) & 0xFF]) + content


def main() -> int:
    aid = bytes.fromhex("A0000000620301")
    name = b"com/acme/wallet"
    header = component(1, bytes.fromhex("DECAFFED") + bytes([2, 2, 4, 0, 1, len(aid)]) + aid
                       + bytes([len(name)]) + name)
    directory = component(2, bytes(range(0x10, 0x10 + 31)))
    applet = component(3, bytes([1, len(aid) + 1]) + aid + b"\x01\x00\x10")
    imports = component(4, bytes.fromhex("010001 07 A0000000620001".replace(" ", "")))
    with zipfile.ZipFile(sys.argv[1], "w") as cap:
        cap.writestr("META-INF/MANIFEST.MF", "Manifest-Version: 1.0\r\n\r\n", zipfile.ZIP_DEFLATED)
        for entry, data in (("Header", header), ("Directory", directory), ("Applet", applet), ("Import", imports)):
            cap.writestr(f"com/acme/wallet/javacard/{entry}.cap", data, zipfile.ZIP_STORED)
    return 0


if __name__ == "__main__":
    sys.exit(main())

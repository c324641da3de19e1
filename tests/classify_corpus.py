#!/usr/bin/env python3
"""Sorts CAP files by how the local-header scan can take them.

Prints one line per file: "stored FILE" when every entry is stored and none
lies under META-INF/, "deflated-manifest FILE" when the first entry is a
deflated META-INF/MANIFEST.MF, and "other FILE" otherwise.

Usage: classify_corpus.py CAPFILE...
"""
import sys
import zipfile


def kind(path: str) -> str:
    with zipfile.ZipFile(path) as archive:
        entries = archive.infolist()
    if entries and entries[0].filename.upper() == "META-INF/MANIFEST.MF" \
            and entries[0].compress_type == zipfile.ZIP_DEFLATED:
        return "deflated-manifest"
    if all(e.compress_type == zipfile.ZIP_STORED and not e.filename.upper().startswith("META-INF/")
           and not e.flag_bits & 0x09 for e in entries):
        return "stored"
    return "other"


for path in sys.argv[1:]:
    print(kind(path), path)

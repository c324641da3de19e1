#!/usr/bin/env python3
"""What a user might otherwise run: for each CAP file, the bytes of its
entries one after another, written beside it as NAME.py.ijc.

Usage: concat_entries.py CAPFILE...
"""
import sys
import zipfile

for path in sys.argv[1:]:
    with zipfile.ZipFile(path) as archive, open(path[: -len(".cap")] + ".py.ijc", "wb") as out:
        for info in archive.infolist():
            out.write(archive.read(info))

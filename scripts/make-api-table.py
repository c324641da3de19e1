#!/usr/bin/env python3
"""Writes core/runtime/api/api_table.inc, the runtime's table of the APIs a card links (the Java Card API and the
GlobalPlatform Card API: packages by AID and version, classes and members by token, constants by value), from the
tab-separated listings given, in order.

Usage: scripts/make-api-table.py JAVACARD.tsv GLOBALPLATFORM.tsv > core/runtime/api/api_table.inc
"""
import sys

FLAGS = {"public": 0x01, "private": 0x02, "protected": 0x04, "static": 0x08, "final": 0x10,
         "interface": 0x40, "abstract": 0x80, "shareable": 0x100, "remote": 0x200}


def flags(text):
    return " | ".join("0x%X" % FLAGS[f] for f in text.split(",")) or "0"


def quoted(text):
    return '"' + text.replace("\\", "\\\\").replace('"', '\\"') + '"'


def main():
    packages, classes, members = [], [], []
    lines = []
    for path in sys.argv[1:]:
        with open(path, encoding="utf-8") as listing:
            lines += listing.readlines()
    for line in lines:
        if line.startswith("#") or not line.strip():
            continue
        row = line.rstrip("\n").split("\t")
        if row[0] == "package":
            major, minor = row[3].split(".")
            packages.append("{%s, %s, %s, %s}" % (quoted(row[1]), quoted(row[2]), major, minor))
        elif row[0] == "class":
            supers = "" if row[5] == "-" else row[5]
            interfaces = "" if row[6] == "-" else row[6]
            classes.append("{%s, %s, %s, %s, %s, %s}" % (quoted(row[1]), row[2], quoted(row[3]), flags(row[4]),
                                                          quoted(supers), quoted(interfaces)))
        else:
            token = 0xFF if row[3] == "FF" else int(row[3])
            field = row[0] == "field"
            value = row[7] if field and len(row) > 7 and row[7] != "" else "0"
            has_value = "true" if field and len(row) > 7 and row[7] != "" else "false"
            members.append("{%s, %s, %s, %d, %s, %s, %s, %sLL, %s}" % (
                "true" if field else "false", quoted(row[1]), quoted(row[2]), token, quoted(row[4]),
                quoted(row[5]), flags(row[6]), value, has_value))
    out = sys.stdout
    out.write("// Made by scripts/make-api-table.py: the APIs as cards link them. Do not edit.\n")
    out.write("// clang-format off\n")
    out.write("const ApiPackageRow apiPackageRows[] = {\n%s,\n};\n" % ",\n".join("    " + p for p in packages))
    out.write("const ApiClassRow apiClassRows[] = {\n%s,\n};\n" % ",\n".join("    " + c for c in classes))
    out.write("const ApiMemberRow apiMemberRows[] = {\n%s,\n};\n" % ",\n".join("    " + m for m in members))
    out.write("// clang-format on\n")


if __name__ == "__main__":
    main()

#!/usr/bin/env python3
"""Checks tolvane-cli --to-cap over every CAP file of the shared corpus: its
load file made into a CAP file again gives the same load file, its plain IJC
file made into a CAP file again gives the same IJC file, and the CAP file made
passes unzip -t, python's zipfile and --check. --check of the load file
reports what --check of its CAP file reports, and so does the manifest of the
CAP file made. Files that are no sequence of
components are refused with nothing written.

Usage: to_cap_check.py TOLVANE_CLI CORPUS_DIR
"""
import os
import shutil
import subprocess
import sys
import json
import tempfile
import zipfile

from corpus_caps import corpus_caps, load_options, required


def run(cli, args, cwd):
    return subprocess.run([cli] + args, cwd=cwd, capture_output=True, timeout=60)


def read(work, name):
    with open(os.path.join(work, name), "rb") as f:
        return f.read()


# What a card and a loader see of a package: the same whichever file it came from.
SAME_FROM_EITHER = ("header", "package_version", "applets", "imports", "requires")


def checked(cli, work, name, extra):
    report = json.loads(run(cli, extra + ["--check", "--json", name], work).stdout)
    seen = {key: report.get(key) for key in SAME_FROM_EITHER}
    seen["hashes"] = {key: report["load_file"][key] for key in ("sha1", "sha256")}
    return seen


def manifest_attributes(archive):
    """The manifest's main and per-entry attributes, folded lines joined."""
    text = archive.read("META-INF/MANIFEST.MF").decode("utf-8").replace("\r\n ", "")
    return dict(line.split(": ", 1) for line in text.split("\r\n") if ": " in line)


def manifest_problems(attributes, report):
    """Where the manifest disagrees with --check --json of the same input."""
    def aid(text):
        return text.replace("0x", "").replace(":", "").upper()
    seen = {
        "package AID": aid(attributes.get("Java-Card-Package-AID", "")),
        "package version": attributes.get("Java-Card-Package-Version"),
        "applets": [aid(attributes[k]) for k in sorted(attributes) if k.startswith("Java-Card-Applet-")],
        "imports": [(aid(attributes["Java-Card-Imported-Package-%d-AID" % n]),
                     attributes["Java-Card-Imported-Package-%d-Version" % n])
                    for n in range(1, 1 + sum(k.endswith("-AID") and "Imported-Package" in k for k in attributes))],
    }
    wanted = {
        "package AID": report["header"]["aid"],
        "package version": "%d.%d" % (report["package_version"]["major"], report["package_version"]["minor"]),
        "applets": sorted(report["applets"]),
        "imports": [(i["aid"], "%d.%d" % (i["major"], i["minor"])) for i in report["imports"]],
    }
    seen["applets"] = sorted(seen["applets"])
    return ["the manifest gives %s %r, --check %r" % (key, seen[key], wanted[key])
            for key in wanted if seen[key] != wanted[key]]


def check(cli, work, extra):
    problems = []
    if run(cli, ["-q", "input.cap"], work).returncode != 0:
        return ["the CAP file makes no IJC file"]
    os.rename(os.path.join(work, "input.ijc"), os.path.join(work, "plain.ijc"))
    if run(cli, extra + ["-q", "--to-cap", "-o", "plain-made.cap", "plain.ijc"], work).returncode != 0:
        problems.append("--to-cap refuses the plain IJC file")
    elif run(cli, ["-q", "plain-made.cap"], work).returncode != 0 or \
            read(work, "plain.ijc") != read(work, "plain-made.ijc"):
        problems.append("the plain IJC file does not come back from its CAP file")
    if run(cli, extra + ["-q", "--load-file", "-o", "first.ijc", "input.cap"], work).returncode != 0:
        return ["the CAP file makes no load file"]
    made = run(cli, extra + ["-q", "--to-cap", "-o", "made.cap", "first.ijc"], work)
    if made.returncode != 0:
        return ["--to-cap: %s" % made.stderr]
    if run(cli, extra + ["-q", "--load-file", "-o", "second.ijc", "made.cap"], work).returncode != 0:
        return ["the CAP file made makes no load file"]
    if read(work, "first.ijc") != read(work, "second.ijc"):
        problems.append("the load files differ")
    from_cap, from_load_file = checked(cli, work, "input.cap", extra), checked(cli, work, "first.ijc", extra)
    for key in from_cap:
        if from_cap[key] != from_load_file[key]:
            problems.append("--check of the load file reports other %s" % key)
    if subprocess.run(["unzip", "-tq", "made.cap"], cwd=work, capture_output=True).returncode != 0:
        problems.append("unzip -t fails")
    with zipfile.ZipFile(os.path.join(work, "made.cap")) as archive:
        if archive.testzip() is not None or archive.namelist()[0] != "META-INF/MANIFEST.MF":
            problems.append("python's zipfile finds a fault, or no manifest first")
        else:
            report = json.loads(run(cli, extra + ["--check", "--json", "first.ijc"], work).stdout)
            problems += manifest_problems(manifest_attributes(archive), report)
    if run(cli, extra + ["-q", "--check", "made.cap"], work).returncode != 0:
        problems.append("--check refuses the CAP file made")
    return problems


REFUSED = {
    "cut short": bytes.fromhex("010010DECAFFED0202"),
    "no Header first": bytes.fromhex("0200020000"),
    "not DECAFFED": bytes.fromhex("010004CAFEBABE"),
    "a component twice": bytes.fromhex("010004DECAFFED010004DECAFFED"),
    "an unknown tag": bytes.fromhex("010004DECAFFED200000"),
}


def main():
    cli, corpus = sys.argv[1:3]
    failures = 0
    with tempfile.TemporaryDirectory() as work:
        for name, content in REFUSED.items():
            with open(os.path.join(work, "bad.ijc"), "wb") as out:
                out.write(content)
            result = run(cli, ["--to-cap", "bad.ijc"], work)
            if result.returncode != 1 or os.path.exists(os.path.join(work, "bad.cap")):
                failures += 1
                print("%s: exit %d, %s" % (name, result.returncode, result.stderr))
        caps = corpus_caps(corpus)
        if caps is None:
            return 1 if required() or failures else 0
        for path in caps:
            for stale in os.listdir(work):
                os.remove(os.path.join(work, stale))
            shutil.copyfile(path, os.path.join(work, "input.cap"))
            for problem in check(cli, work, load_options(path)):
                failures += 1
                print("%s: %s" % (os.path.basename(path), problem))
    print("%d CAP files made again, %d problems" % (len(caps), failures))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())

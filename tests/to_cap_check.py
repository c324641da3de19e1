#!/usr/bin/env python3
"""Checks tolvane-cli --to-cap over every CAP file of the shared corpus: its
load file made into a CAP file again gives the same load file, and the CAP
file made passes unzip -t, python's zipfile and --check. Files that are no
sequence of components are refused with nothing written.

Usage: to_cap_check.py TOLVANE_CLI CORPUS_DIR
"""
import os
import shutil
import subprocess
import sys
import tempfile
import zipfile


def run(cli, args, cwd):
    return subprocess.run([cli] + args, cwd=cwd, capture_output=True, timeout=60)


def check(cli, work):
    problems = []
    if run(cli, ["-q", "--load-file", "-o", "first.ijc", "input.cap"], work).returncode != 0:
        return ["the CAP file makes no load file"]
    made = run(cli, ["-q", "--to-cap", "-o", "made.cap", "first.ijc"], work)
    if made.returncode != 0:
        return ["--to-cap: %s" % made.stderr]
    if run(cli, ["-q", "--load-file", "-o", "second.ijc", "made.cap"], work).returncode != 0:
        return ["the CAP file made makes no load file"]
    with open(os.path.join(work, "first.ijc"), "rb") as a, open(os.path.join(work, "second.ijc"), "rb") as b:
        if a.read() != b.read():
            problems.append("the load files differ")
    if subprocess.run(["unzip", "-tq", "made.cap"], cwd=work, capture_output=True).returncode != 0:
        problems.append("unzip -t fails")
    with zipfile.ZipFile(os.path.join(work, "made.cap")) as archive:
        if archive.testzip() is not None or archive.namelist()[0] != "META-INF/MANIFEST.MF":
            problems.append("python's zipfile finds a fault, or no manifest first")
    if run(cli, ["-q", "--check", "made.cap"], work).returncode != 0:
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
        folder = os.path.join(corpus, "cap")
        if not os.path.isdir(folder):
            print("no corpus at %s" % corpus)
            return 1 if os.environ.get("CI") == "true" or failures else 0
        caps = sorted(n for n in os.listdir(folder) if n.lower().endswith(".cap"))
        for name in caps:
            for stale in os.listdir(work):
                os.remove(os.path.join(work, stale))
            shutil.copyfile(os.path.join(folder, name), os.path.join(work, "input.cap"))
            for problem in check(cli, work):
                failures += 1
                print("%s: %s" % (name, problem))
    print("%d CAP files made again, %d problems" % (len(caps), failures))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())

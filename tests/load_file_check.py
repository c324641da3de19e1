#!/usr/bin/env python3
"""Checks tolvane-cli's load files over every CAP file of the shared corpus
against an independent reading: python's zipfile finds the components, the
reference load order lays them out, hashlib hashes them.

Usage: load_file_check.py TOLVANE_CLI SCHEMA CORPUS_DIR
"""
import hashlib
import json
import os
import shutil
import subprocess
import sys
import tempfile

from corpus_caps import corpus_caps, load_options, required
import zipfile

import jsonschema

LOAD_ORDER = ["header.cap", "directory.cap", "import.cap", "applet.cap", "class.cap", "method.cap",
              "staticfield.cap", "export.cap", "constantpool.cap", "reflocation.cap", "staticresources.capx",
              "descriptor.cap"]


def expected_load_file(cap, keep_descriptor):
    """The components of the CAP file, whole, in the reference load order."""
    with zipfile.ZipFile(cap) as archive:
        found = {}
        for name in archive.namelist():
            base = name.replace("\\", "/").rsplit("/", 1)[-1].lower()
            if base in LOAD_ORDER:
                assert base not in found, "two %s" % base
                found[base] = archive.read(name)
    order = [n for n in LOAD_ORDER if keep_descriptor or n != "descriptor.cap"]
    return b"".join(found[n] for n in order if n in found), [n for n in order if n in found]


def run(cli, args, cwd):
    return subprocess.run([cli] + args, cwd=cwd, capture_output=True, timeout=60)


def check(cli, validator, cap, extra):
    problems = []
    folder = os.path.dirname(cap)
    ijc = os.path.join(folder, "input.ijc")
    for keep in (True, False):
        for action in ("--load-file", "--check"):
            if os.path.exists(ijc):
                os.remove(ijc)
            options = [action, "--json"] + ([] if keep else ["--no-descriptor"]) + extra
            result = run(cli, options + [cap], folder)
            what = " ".join(options)
            if result.returncode != 0:
                problems.append("%s: exit status %d, %s" % (what, result.returncode, result.stderr))
                continue
            report = json.loads(result.stdout)
            problems += ["%s: %s" % (what, e.message) for e in validator.iter_errors(report)]
            expected, names = expected_load_file(cap, keep)
            if action == "--check":
                if os.path.exists(ijc):
                    problems.append("--check wrote a file")
            else:
                written = open(ijc, "rb").read()
                if written != expected:
                    problems.append("%s: the load file differs from the components in load order" % what)
            if [c["name"].lower() for c in report["components"]] != names:
                problems.append("%s: components %r" % (what, [c["name"] for c in report["components"]]))
            if report["load_file"]["sha1"] != hashlib.sha1(expected).hexdigest():
                problems.append("%s: SHA-1 differs" % what)
            if report["load_file"]["sha256"] != hashlib.sha256(expected).hexdigest():
                problems.append("%s: SHA-256 differs" % what)
            if report["load_file"]["descriptor"] != keep or report["total"] != len(expected):
                problems.append("%s: descriptor or total" % what)
    return problems


def main():
    cli, schema_path, corpus = sys.argv[1:4]
    with open(schema_path) as schema_file:
        validator = jsonschema.Draft202012Validator(json.load(schema_file))
    caps = corpus_caps(corpus)
    if caps is None:
        return 1 if required() else 0
    failures = 0
    with tempfile.TemporaryDirectory() as work:
        cap = os.path.join(work, "input.cap")
        for path in caps:
            shutil.copyfile(path, cap)
            for problem in check(cli, validator, cap, load_options(path)):
                failures += 1
                print("%s: %s" % (os.path.basename(path), problem))
    print("%d CAP files checked, %d problems" % (len(caps), failures))
    return 1 if failures or not caps else 0


if __name__ == "__main__":
    sys.exit(main())

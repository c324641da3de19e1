#!/usr/bin/env python3
"""Checks tolvane-cli --json over every file of the shared corpus, in both
modes: each run gives one object that the schema accepts, and its components
and total agree with the text report of the same conversion. Load files'
objects, failing ones above all, are checked against the schema too, over
the corpus and over a few bad files made here, so that some objects are
checked on any machine.

Usage: json_report_check.py TOLVANE_CLI SCHEMA CORPUS_DIR
"""
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile

import jsonschema

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from corpus_caps import in_sample  # noqa: E402  (beside this script)

COMPONENT_LINE = re.compile(rb"^(\d+)\. (.*) (\d+) bytes$")
TOTAL_LINE = re.compile(rb"^ Total IJC: (\d+) bytes$")


def text_bytes(value):
    """The bytes a text field stands for: a string's UTF-8, or its hex."""
    return value.encode("utf-8") if isinstance(value, str) else bytes.fromhex(value["hex"])


def unescaped(shown):
    """A text report's text with its control characters restored."""
    return re.sub(rb"\\x([0-9A-F]{2})", lambda m: bytes.fromhex(m[1].decode()), shown)


def run(cli, args, cwd):
    return subprocess.run([cli] + args, cwd=cwd, capture_output=True, timeout=60)


def check(cli, validator, cap, scan):
    folder = os.path.dirname(cap)
    mode = ["--scan"] if scan else []
    text = run(cli, mode + [cap], folder)
    ijc = os.path.join(folder, "input.ijc")
    if os.path.exists(ijc):
        os.remove(ijc)
    result = run(cli, ["--json"] + mode + [cap], folder)
    problems = []
    lines = result.stdout.splitlines()
    if len(lines) != 1:
        return ["%d JSON lines" % len(lines)]
    report = json.loads(lines[0])
    problems += [e.message for e in validator.iter_errors(report)]
    if problems:
        return problems

    expected_mode = "scan" if scan else "archive"
    if report["mode"] != expected_mode:
        problems.append("mode %s" % report["mode"])
    if report["ok"] != (result.returncode == 0):
        problems.append("ok %s with exit status %d" % (report["ok"], result.returncode))
    if result.stderr != text.stderr or result.returncode != text.returncode:
        problems.append("standard error or status differ from the text report's")
    if report["error"] is not None:
        shown = b"tolvane-cli: " + text_bytes(report["error"]) + b"\n"
        if unescaped(result.stderr) != shown:
            problems.append("error %r, standard error %r" % (shown, result.stderr))

    text_components = [COMPONENT_LINE.match(line) for line in text.stdout.split(b"\n")]
    text_components = [(int(m[1]), unescaped(m[2]), int(m[3])) for m in text_components if m]
    json_components = [(c["tag"], text_bytes(c["name"]), c["length"]) for c in report["components"]]
    if text_components != json_components:
        problems.append("components %r, text report %r" % (json_components, text_components))
    totals = [int(m[1]) for m in map(TOTAL_LINE.match, text.stdout.split(b"\n")) if m]
    if totals and totals != [report["total"]]:
        problems.append("total %d, text report %r" % (report["total"], totals))
    if report["total"] != sum(c["length"] for c in report["components"]):
        problems.append("total is not the sum of the lengths")
    if report["ok"] and os.path.getsize(ijc) != report["total"]:
        problems.append("IJC file of %d bytes, total %d" % (os.path.getsize(ijc), report["total"]))
    return problems


def check_load(cli, validator, cap):
    """The objects of a load file and of a dump, whichever way they ended."""
    folder = os.path.dirname(cap)
    problems = []
    for action in ("--load-file", "--dump"):
        result = run(cli, [action, "--json", cap], folder)
        lines = result.stdout.splitlines()
        if len(lines) != 1:
            problems.append("%s: %d JSON lines" % (action, len(lines)))
            continue
        report = json.loads(lines[0])
        errors = ["%s: %s" % (action, e.message) for e in validator.iter_errors(report)]
        if errors:
            problems += errors
            continue
        if report["mode"] != "load" or report["ok"] != (result.returncode == 0):
            problems.append("%s: mode %s, ok %s, exit status %d" % (action, report["mode"], report["ok"], result.returncode))
        if report["error"] is not None:
            # The error, every further refusal, then what became of the load file.
            refusals = [f["text"] for f in report["findings"] if f["severity"] == "error"]
            if refusals and refusals[0] != report["error"]:
                problems.append("%s: error %r, first refusal %r" % (action, report["error"], refusals[0]))
            expected = [report["error"]] + refusals[1:]
            shown = unescaped(result.stderr).split(b"\n")
            if shown[-1] != b"" or shown[:len(expected)] != [b"tolvane-cli: " + text_bytes(t) for t in expected]:
                problems.append("%s: error %r, standard error %r" % (action, report["error"], result.stderr))
            elif action == "--load-file" and not re.fullmatch(rb"tolvane-cli: .*input\.ijc was (left as it was|not created)\.",
                                                              b"\n".join(shown[len(expected):-1])):
                problems.append("%s: no word of the load file in %r" % (action, result.stderr))
        if ("decoded" in report) != (action == "--dump") or (report["ok"] and action == "--dump" and not report["decoded"]):
            problems.append("%s: decoded %r" % (action, report.get("decoded")))
    return problems


# Files that no mode converts, made here.
BAD_FILES = {
    "not an archive": b"no archive at all",
    "empty archive": b"PK\x05\x06" + bytes(18),
    "empty file": b"",
}


def main():
    cli, schema_path, corpus = sys.argv[1:4]
    with open(schema_path) as schema_file:
        schema = json.load(schema_file)
    jsonschema.Draft202012Validator.check_schema(schema)
    validator = jsonschema.Draft202012Validator(schema)

    files = []
    for folder in ("cap", "zip"):
        path = os.path.join(corpus, folder)
        if os.path.isdir(path):
            files += [os.path.join(path, name) for name in sorted(os.listdir(path))
                      if name != "MANIFEST.tsv" and in_sample(name)]
    failures = 0
    checked = 0
    with tempfile.TemporaryDirectory() as work:
        cap = os.path.join(work, "input.cap")
        inputs = [(name, None, content) for name, content in sorted(BAD_FILES.items())]
        inputs += [(os.path.basename(source), source, None) for source in files]
        for name, source, content in inputs:
            if source:
                shutil.copyfile(source, cap)
            else:
                with open(cap, "wb") as made:
                    made.write(content)
            problems = [("", p) for p in check_load(cli, validator, cap)]
            for scan in (False, True):
                problems += [(" --scan" if scan else "", p) for p in check(cli, validator, cap, scan)]
            checked += 4
            for mode, problem in problems:
                failures += 1
                print("%s%s: %s" % (name, mode, problem))
    print("%d conversions checked, %d problems" % (checked, failures))
    if not files:
        print("no corpus at %s" % corpus)
        if os.environ.get("CI") == "true":
            print("the corpus is required under CI")
            return 1
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())

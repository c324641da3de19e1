#!/usr/bin/env python3
"""Writes the table of what tolvane-cli makes of every corpus file, in each
mode, for corpus_test to hold it to: "ok N" for a conversion that wrote N
bytes, "error MESSAGE" for one that failed (its folder shown as DIR).

Run it after a change that is meant to change an outcome, and read the
difference before committing it.

Usage: pin_corpus_outcomes.py TOLVANE_CLI CORPUS_DIR > tests/corpus_outcomes.tsv
"""
import os
import shutil
import subprocess
import sys
import tempfile

MODES = [("archive", []), ("scan", ["--scan"]), ("load", ["--load-file", "-o", "input.ijc"])]


def outcome(cli, options, work):
    ijc = os.path.join(work, "input.ijc")
    if os.path.exists(ijc):
        os.remove(ijc)
    run = subprocess.run([cli] + options + ["input.cap"], cwd=work, capture_output=True, timeout=60)
    if run.returncode == 0:
        return "ok %d" % os.path.getsize(ijc)
    message = run.stderr.decode("utf-8", "backslashreplace").strip().replace("tolvane-cli: ", "", 1)
    return "error " + message.replace(work, "DIR")


def main():
    cli, corpus = sys.argv[1:3]
    print("file\t" + "\t".join(name for name, _ in MODES))
    with tempfile.TemporaryDirectory() as work:
        for folder in ("cap", "zip"):
            path = os.path.join(corpus, folder)
            for name in sorted(os.listdir(path)):
                if name == "MANIFEST.tsv":
                    continue
                shutil.copyfile(os.path.join(path, name), os.path.join(work, "input.cap"))
                row = [folder + "/" + name] + [outcome(cli, options, work) for _, options in MODES]
                print("\t".join(row))
    return 0


if __name__ == "__main__":
    sys.exit(main())

#!/usr/bin/env bash
# Times tolvane-cli over the CAP files of the shared corpus beside the floor
# program (bench/floor.cpp: read each file, write as many bytes to a new one)
# and what a user would otherwise run (unzip -p per file, a python3 zipfile
# script run by the system's /usr/bin/python3), with hyperfine in one run, and
# prints each one's time relative to the floor and to unzip -p per file.
# Usage: bench/compare.sh [RUNS]
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-20}

scripts/install-deps bench
cmake --preset bench >/dev/null
cmake --build --preset bench -j "$(nproc)" --target tolvane-cli ijc-floor >/dev/null

corpus=${TOLVANE_CORPUS_DIR:-../shared/corpus}/cap
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp "$corpus"/*.cap "$work"/
count=$(ls "$work"/*.cap | wc -l)
cli=$(realpath build/bench/cli/tolvane-cli)
floor=$(realpath build/bench/bench/ijc-floor)
# How many files the scan refuses (their entries compressed); it does less for them.
refused=$(cd "$work" && "$cli" --scan *.cap 2>&1 >/dev/null | grep -c "Wrong CAP file format" || true)
echo "tolvane-cli --scan refuses $refused of the $count files"
echo "$count CAP files, $(du -cb "$work"/*.cap | tail -1 | cut -f1) bytes"

cd "$work"
hyperfine --style basic --warmup 3 --runs "$runs" --ignore-failure --export-json results.json \
  -n "floor, all files in one run" "$floor *.cap" \
  -n "tolvane-cli, all files in one run" "$cli *.cap > /dev/null" \
  -n "tolvane-cli --load-file, all files in one run" "$cli --load-file *.cap > /dev/null" \
  -n "tolvane-cli, one run per file" "for f in *.cap; do $cli \"\$f\" > /dev/null; done" \
  -n "tolvane-cli --scan, all files in one run" "$cli --scan *.cap > /dev/null" \
  -n "unzip -p, one run per file" "for f in *.cap; do unzip -p \"\$f\" > \"\${f%.cap}.unzip\"; done" \
  -n "python3 zipfile, all files in one run" "/usr/bin/python3 '$OLDPWD/bench/concat_entries.py' *.cap"

python3 - <<'PY'
import json
results = json.load(open("results.json"))["results"]
times = {r["command"]: r["median"] for r in results}
base = times["unzip -p, one run per file"]
floor = times["floor, all files in one run"]
print(f"\n{'command':45} {'median s':>10} {'this / floor':>13} {'unzip -p / this':>16}")
for command, median in times.items():
    print(f"{command:45} {median:10.4f} {median / floor:13.2f} {base / median:16.2f}")
PY

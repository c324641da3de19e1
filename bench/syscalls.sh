#!/usr/bin/env bash
# Counts the system calls of one conversion with strace -c: tolvane-cli
# converts the same CAP file N times in one run, and the calls of a run that
# converts nothing (--version) are taken off, which leaves what the
# conversions cost. Usage: bench/syscalls.sh [CAPFILE] [N] [OPTION...]
set -euo pipefail
cd "$(dirname "$0")/.."
cap=${1:-${TOLVANE_CORPUS_DIR:-../shared/corpus}/cap/Algorithm__helloWorld.cap}
count=${2:-20}
shift $(( $# < 2 ? $# : 2 ))

command -v strace >/dev/null || scripts/install-deps bench
cmake --preset bench >/dev/null
cmake --build --preset bench -j "$(nproc)" --target tolvane-cli >/dev/null
cli=$(realpath build/bench/cli/tolvane-cli)

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
files=()
for i in $(seq "$count"); do
  cp "$cap" "$work/c$i.cap"
  files+=("$work/c$i.cap")
done
# A first run, so that every IJC file exists as it would on a rebuild.
"$cli" "$@" "${files[@]}" >/dev/null

total() { strace -f -c -o "$work/count.txt" "$@" >/dev/null; awk '$NF == "total" {print $(NF-2) + 0}' "$work/count.txt"; }
start=$(total "$cli" --version)
all=$(total "$cli" "$@" "${files[@]}")
echo "$(basename "$cap"), $count conversions ${*:+($*) }in one run: $all system calls, $start of them the start of the program"
awk -v all="$all" -v start="$start" -v n="$count" 'BEGIN { printf "per conversion: %.1f\n", (all - start) / n }'
strace -f -c -o "$work/count.txt" "$cli" "$@" "${files[0]}" >/dev/null
echo "one conversion, by call (program start included):"
# Columns: % time, seconds, usecs/call, calls, [errors,] syscall.
sed -n '3,$p' "$work/count.txt" | awk '$NF != "total" && !/^-/ {printf "  %-16s %s\n", $NF, $4}' | sort -k2 -n -r

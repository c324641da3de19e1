#!/usr/bin/env bash
# Times one tolvane-cli run over the corpus's CAP files in one folder, and
# over ten copies of each in one folder, every IJC file already there (as on
# a rebuild): the time should grow with the number of files, not its square.
# Usage: bench/many_files.sh [RUNS]
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-10}

scripts/install-deps bench
cmake --preset bench >/dev/null
cmake --build --preset bench -j "$(nproc)" --target tolvane-cli >/dev/null

corpus=${TOLVANE_CORPUS_DIR:-../shared/corpus}/cap
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/once" "$work/ten"
cp "$corpus"/*.cap "$work/once/"
for copy in 0 1 2 3 4 5 6 7 8 9; do
  for file in "$corpus"/*.cap; do
    cp "$file" "$work/ten/$copy-$(basename "$file")"
  done
done
cli=$(realpath build/bench/cli/tolvane-cli)
"$cli" -q "$work"/once/*.cap "$work"/ten/*.cap || true
echo "$(ls "$work"/once/*.cap | wc -l) and $(ls "$work"/ten/*.cap | wc -l) CAP files"
hyperfine --style basic --warmup 2 --runs "$runs" --ignore-failure \
  -n "once: one folder of each corpus file" "$cli -q $work/once/*.cap" \
  -n "ten: one folder of ten copies of each" "$cli -q $work/ten/*.cap"

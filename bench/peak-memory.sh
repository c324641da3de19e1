#!/usr/bin/env bash
# Peak memory (maximum resident set) of tolvane-cli on the largest corpus CAP
# file and on the zip bombs of the corpus, with both converters, on a 3 GB
# sparse CAP file, of a settings save over a 100 MB settings file, and of the
# window from its start to a shown window on the offscreen platform.
# Usage: bench/peak-memory.sh
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps bench
cmake --preset bench >/dev/null
cmake --build --preset bench -j "$(nproc)" --target tolvane-cli tolvane save-settings >/dev/null

corpus=${TOLVANE_CORPUS_DIR:-../shared/corpus}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cli=build/bench/cli/tolvane-cli

peak() { # peak RSS in KiB of a command
  /usr/bin/time -f %M -o "$work/rss" "$@" >/dev/null 2>&1 || true
  tail -1 "$work/rss"
}

largest=$(ls -S "$corpus"/cap/*.cap | head -1)
bombs=$(awk -F'\t' 'tolower($8) ~ /bomb|overlap|nested|inflat|4 gib|exceeds/ {print $1}' "$corpus/zip/MANIFEST.tsv")
printf '%-60s %12s %12s\n' input "archive KiB" "scan KiB"
for file in "$largest" $(for b in $bombs; do echo "$corpus/zip/$b"; done); do
  cp "$file" "$work/input.cap"
  printf '%-60s %12s %12s\n' "$(basename "$file")" "$(peak "$cli" "$work/input.cap")" \
    "$(peak "$cli" --scan "$work/input.cap")"
done
all=0
for file in "$corpus"/cap/*.cap "$corpus"/zip/*; do
  [ "$(basename "$file")" = MANIFEST.tsv ] && continue
  cp "$file" "$work/input.cap"
  for mode in "" --scan; do
    rss=$(peak "$cli" $mode "$work/input.cap")
    [ "$rss" -gt "$all" ] && all=$rss
  done
done
echo "largest peak over every corpus input, both converters: $all KiB"

# A 3 GB CAP file (sparse: no disk is used) is refused before it is read.
truncate -s 3G "$work/huge.cap"
for mode in "" --scan; do
  start=$(date +%s.%N)
  rss=$(peak "$cli" $mode "$work/huge.cap")
  printf '%-60s %12s KiB %8.3f s\n' "3 GB sparse CAP file ${mode:-(archive)}" "$rss" "$(echo "$(date +%s.%N) - $start" | bc)"
done
rm -f "$work/huge.cap" "$work/huge.ijc"

# A settings file of 100 MB (a million lines of other sections, then [main]).
awk 'BEGIN { print "[other]"; for (i = 0; i < 1000000; i++) printf "key%d=%090d\n", i, i; print "[main]"; print "MainLeft=1" }' \
  > "$work/settings.ini"
printf '%-60s %12s KiB (file of %s bytes)\n' "save-settings over a 100 MB settings file" \
  "$(peak build/bench/bench/save-settings "$work/settings.ini")" "$(stat -c %s "$work/settings.ini")"

# The window: started offscreen, shown, then ended after three seconds.
printf '%-60s %12s\n' "tolvane, start to shown window (offscreen)" \
  "$(QT_QPA_PLATFORM=offscreen peak timeout 3 build/bench/app/tolvane)"

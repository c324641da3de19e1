#!/usr/bin/env bash
# Times tolvane-cli --send of the largest corpus applet through SCP03 with
# C-MAC beside the bare --apdu script sent by pcsc-tools' scriptor to a card
# that takes commands without a secure channel: the virtual card of the
# tests, behind the vpcd reader, with a pcscd of its own in a mount
# namespace (run as root). Both begin by deleting the package, so that each
# run loads it afresh.
# Usage: bench/card_send.sh [TOLVANE_CLI] [CORPUS_DIR]
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cli=$(realpath "${1:-$here/build/bench/cli/tolvane-cli}")
corpus=$(realpath "${2:-$here/../shared/corpus}")
if [ "${TOLVANE_BENCH_NAMESPACE:-}" != 1 ]; then
  exec env TOLVANE_BENCH_NAMESPACE=1 unshare -m --propagation private "$0" "$cli" "$corpus"
fi
mount -t tmpfs tmpfs /run
mkdir -p /run/pcscd
work=$(mktemp -d)
port=36555
printf 'FRIENDLYNAME "Virtual PCD"\nDEVICENAME /dev/null:0x%X\nLIBPATH /usr/lib/pcsc/drivers/serial/libifdvpcd.so\nCHANNELID 0x%X\n' \
  $port $port >"$work/vpcd"
pcscd -f -c "$work" >/dev/null 2>&1 &
pcscd=$!
for _ in $(seq 100); do [ -S /run/pcscd/pcscd.comm ] && break; sleep 0.05; done
/usr/bin/python3 "$here/tests/virtual_card.py" --port $port --log "$work/card.log" --store "$work" \
  --open --any-imports --platform A0000000620101:1.8 --platform A0000000620102:1.8 \
  --platform A0000000620201:1.8 &
card=$!
trap 'kill $card $pcscd 2>/dev/null; wait 2>/dev/null; rm -rf "$work"' EXIT
for _ in $(seq 100); do "$cli" --readers | grep -q '(card)' && break; sleep 0.05; done

cap="$corpus/cap/ledger-javacard__Ledger-wallet.cap"
# The bare script: SELECT of the security domain, then --apdu's commands.
{ echo "00 A4 04 00 08 A0 00 00 01 51 00 00 00 00"; "$cli" --apdu --replace -q -o - "$cap"; } >"$work/bare.apdu"
"$cli" --send --replace -q "$cap" # a first load, which must pass
hyperfine --warmup 1 --runs 10 --export-markdown "$work/result.md" \
  "scriptor -r 'Virtual PCD 00 00' $work/bare.apdu" \
  "$cli --send --replace -q $cap"
cat "$work/result.md"

#!/usr/bin/env bash
# Installs the build into a temporary DESTDIR and checks what lands there:
# every file an installation holds, the installed tolvane-cli converting a
# corpus CAP file, and the ecosystem's validators on the desktop entry, the
# AppStream metadata, the manual pages and the Debian package (lintian), each
# where it is installed. Usage: install_check.sh BUILD_DIR CORPUS_DIR
set -euo pipefail
build=$(realpath "$1")
corpus=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAILED: $*"; failures=$((failures + 1)); }

DESTDIR="$work/root" cmake --install "$build" --prefix /usr >/dev/null
root=$work/root/usr
expected=(
  bin/tolvane bin/tolvane-cli
  share/applications/org.tolvane.Tolvane.desktop
  share/metainfo/org.tolvane.Tolvane.metainfo.xml
  share/mime/packages/org.tolvane.Tolvane.xml
  share/man/man1/tolvane.1.gz share/man/man1/tolvane-cli.1.gz
  share/bash-completion/completions/tolvane-cli
  share/tolvane/report.schema.json share/tolvane/card.schema.json share/tolvane/simulate.schema.json
  share/doc/tolvane/copyright share/doc/tolvane/changelog.Debian.gz
)
for size in 16 22 24 32 48 64 128 256; do
  expected+=("share/icons/hicolor/${size}x$size/apps/org.tolvane.Tolvane.png")
done
for file in "${expected[@]}"; do
  [ -s "$root/$file" ] || fail "not installed: $file"
done
for size in 16 48 256; do
  file -b "$root/share/icons/hicolor/${size}x$size/apps/org.tolvane.Tolvane.png" | grep -q "$size x $size" ||
    fail "the ${size}x$size icon is not $size pixels square"
done

# The installed program converts a real CAP file.
cap=$(ls "$corpus"/cap/*.cap 2>/dev/null | head -1 || true)
[ -n "$cap" ] || [ "${CI:-}" != true ] || fail "no corpus at $corpus, which CI requires"
if [ -n "$cap" ]; then
  cp "$cap" "$work/input.cap"
  "$root/bin/tolvane-cli" -q "$work/input.cap" || fail "the installed tolvane-cli did not convert $cap"
  [ -s "$work/input.ijc" ] || fail "no IJC file from the installed tolvane-cli"
  # The pipeline gives the digest of the file it writes.
  piped=$("$root/bin/tolvane-cli" --load-file -o - "$work/input.cap" 2>/dev/null | sha256sum | cut -d' ' -f1) ||
    fail "the installed tolvane-cli --load-file -o - failed on $cap"
  "$root/bin/tolvane-cli" -q --load-file "$work/input.cap" || fail "the installed tolvane-cli --load-file failed on $cap"
  [ "$piped" = "$(sha256sum < "$work/input.ijc" | cut -d' ' -f1)" ] || fail "-o - and the IJC file differ"
fi
# The installed window starts (on the offscreen platform) and runs until stopped.
status=0
HOME="$work" QT_QPA_PLATFORM=offscreen timeout 2 "$root/bin/tolvane" >/dev/null 2>&1 || status=$?
[ "$status" -eq 124 ] || fail "the installed window did not start (status $status)"

# The completion offers the options the program takes.
for option in $("$root/bin/tolvane-cli" --help | grep -o -- ' --[a-z-]*' | sort -u); do
  grep -q -- "$option" "$root/share/bash-completion/completions/tolvane-cli" || fail "completion lacks $option"
  zcat "$root/share/man/man1/tolvane-cli.1.gz" | grep -q -- "${option//-/\\\\-}" || fail "manual page lacks $option"
done
bash -n "$root/share/bash-completion/completions/tolvane-cli" || fail "the completion script is not valid bash"

validate() { # NAME COMMAND...: runs a validator where it is installed, printing what it says
  if ! command -v "$2" >/dev/null; then
    echo "$1: $2 is not installed, skipped"
    return
  fi
  local output
  if output=$("${@:2}" 2>&1); then
    echo "$1: passed${output:+: $output}"
  else
    fail "$1: $output"
  fi
}
validate "desktop entry" desktop-file-validate "$root/share/applications/org.tolvane.Tolvane.desktop"
grep -q '^Exec=tolvane %F$' "$root/share/applications/org.tolvane.Tolvane.desktop" || fail "the desktop entry passes no files"
validate "metadata" appstreamcli validate --no-net "$root/share/metainfo/org.tolvane.Tolvane.metainfo.xml"
for page in tolvane tolvane-cli; do
  if command -v man >/dev/null; then
    warnings=$(LC_ALL=C.UTF-8 MANROFFSEQ='' MANWIDTH=80 man --warnings -l "$root/share/man/man1/$page.1.gz" 2>&1 >/dev/null)
    [ -z "$warnings" ] && echo "manual page $page(1): no warnings" || fail "manual page $page(1): $warnings"
  fi
done

# The Debian package, made from this build, and lintian on it.
if command -v dpkg-shlibdeps >/dev/null && command -v lintian >/dev/null; then
  (cd "$work" && cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/package" >/dev/null 2>&1) ||
    fail "cpack could not make the package"
  deb=$(ls "$work"/package/tolvane_*.deb 2>/dev/null | head -1 || true)
  if [ -n "$deb" ]; then
    dpkg-deb -f "$deb" Depends | grep -q libzip || fail "the package's dependencies do not name libzip"
    report=$(lintian --tag-display-limit 0 "$deb" 2>&1 | grep -v "running with root privileges" || true)
    echo "lintian: ${report:-no tags}"
    echo "$report" | grep -q '^E: ' && fail "lintian reports errors"
  fi
else
  echo "package: dpkg-shlibdeps or lintian is not installed, skipped"
fi

[ "$failures" -eq 0 ] && echo "install check passed" || exit 1

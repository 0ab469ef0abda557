#!/usr/bin/env bash
# install.sh BUILD — cmake --install of BUILD into a fresh prefix puts both programs, the desktop
# entry, the icon it names and both man pages there, and they work.
set -euo pipefail
build=$1
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix" >/dev/null
fail() { echo "install: $*" >&2; exit 1; }
for p in zoomdive zoomdive-render; do
  [ -x "$prefix/bin/$p" ] || fail "no bin/$p"
  "$prefix/bin/$p" --version | grep -q "^$p " || fail "bin/$p --version"
  page=$prefix/share/man/man1/$p.1
  [ -f "$page" ] || fail "no man page $p.1"
  # groff warns of what it cannot format; nothing is expected.
  if command -v groff >/dev/null; then
    warnings=$(groff -man -ww -z "$page" 2>&1) || fail "$p.1 does not format"
    [ -z "$warnings" ] || fail "$p.1: $warnings"
  fi
done
entry=$prefix/share/applications/zoomdive.desktop
[ -f "$entry" ] || fail "no desktop entry"
[ "$(sed -n 1p "$entry")" = "[Desktop Entry]" ] || fail "the entry's first line"
exe=$(sed -n 's/^Exec=//p' "$entry")
[ -x "$prefix/bin/$exe" ] || fail "Exec=$exe is not an installed program"
icon=$prefix/share/icons/hicolor/256x256/apps/$(sed -n 's/^Icon=//p' "$entry").png
[ -f "$icon" ] || fail "the Icon is not installed: $icon"
# A 256 x 256 PNG: its signature and its header's size.
[ "$(od -An -tx1 -N8 "$icon" | tr -d ' \n')" = 89504e470d0a1a0a ] || fail "the icon is no PNG"
[ "$(od -An -tu1 -j16 -N8 "$icon" | tr -s ' ' | sed 's/^ //')" = "0 0 1 0 0 0 1 0" ] || fail "the icon is not 256 x 256"
echo "installed and working in $prefix"

#!/usr/bin/env bash
# Fails when a translation is not complete: lupdate runs over the sources into a copy of each .ts,
# and any text without a finished translation, or a translation whose text is gone from the
# sources, is named. A Chinese text changed in the code is both: new, and its old self vanished.
# usage: check-translations.sh LUPDATE SOURCES_LIST TS_FILE...
set -euo pipefail
lupdate=$1 sources=$2
shift 2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
status=0
for ts in "$@"; do
  copy="$work/$(basename "$ts")"
  cp "$ts" "$copy"
  if ! "$lupdate" -locations none -source-language zh_CN "@$sources" -ts "$copy" >"$work/log" 2>&1; then
    cat "$work/log" >&2
    status=1
  fi
  # A text lupdate cannot attribute (tr() outside a class) would never be translated.
  if grep -E 'cannot be called|Discarding|Circular' "$work/log" >&2; then
    status=1
  fi
  problems=$(awk '
    /<name>/ { sub(/.*<name>/, ""); sub(/<\/name>.*/, ""); context = $0 }
    /<source>/ { source = $0; sub(/.*<source>/, "", source); sub(/<\/source>.*/, "", source) }
    /<translation[^>]*type="(unfinished|vanished|obsolete)"/ {
      match($0, /type="[a-z]+"/); print substr($0, RSTART + 6, RLENGTH - 7) ": " context ": " source
    }' "$copy")
  if [ -n "$problems" ]; then
    echo "$(basename "$ts") is not complete (run the update_translations target and translate):" >&2
    echo "$problems" >&2
    status=1
  fi
done
exit "$status"

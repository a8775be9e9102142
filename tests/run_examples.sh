#!/bin/sh
# Runs every example host built into BINDIR on every sample message in
# examples/, each in an empty working folder of its own; fails when one
# exits non-zero or prints nothing.
# usage: tests/run_examples.sh BINDIR SOURCE_DIR
set -eu
bin=$(cd "${1:?usage: $0 BINDIR SOURCE_DIR}" && pwd -P)
src=$(cd "${2:?usage: $0 BINDIR SOURCE_DIR}" && pwd -P)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
count=0
for c in "$src"/examples/*.c; do
  name=$(basename "$c" .c)
  [ -x "$bin/$name" ] || { echo "example $name was not built in $bin" >&2; exit 1; }
  for msg in "$src"/examples/*.eml; do
    dir="$work/$name-$(basename "$msg" .eml)"
    mkdir "$dir"
    if ! (cd "$dir" && "$bin/$name" "$msg" >"$work/out" 2>"$work/err"); then
      echo "$name $(basename "$msg") failed:" >&2
      cat "$work/err" >&2
      exit 1
    fi
    [ -s "$work/out" ] || { echo "$name $(basename "$msg") printed nothing" >&2; exit 1; }
    count=$((count + 1))
  done
done
[ "$count" -gt 0 ] || { echo "no examples to run in $src/examples" >&2; exit 1; }
echo "$count example runs passed"

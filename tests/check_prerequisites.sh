#!/bin/sh
# The README's first apt-get line names exactly the packages .ci/run
# installs, so a new machine set up by hand gets what CI gets.
# usage: tests/check_prerequisites.sh SOURCE_DIR
set -u
src=${1:?usage: $0 SOURCE_DIR}
ci=$(sed -n 's/^for pkg in \(.*\); do$/\1/p' "$src/.ci/run" | tr -s ' ' '\n' | sort -u)
readme=$(sed -n 's/^\(sudo \)\{0,1\}apt-get install -y \(.*\)$/\2/p' "$src/README.md" | head -n 1 |
         tr -s ' ' '\n' | sort -u)
if [ -z "$ci" ] || [ -z "$readme" ]; then
  echo "no package list found in .ci/run or no apt-get line in README.md" >&2
  exit 1
fi
if [ "$ci" != "$readme" ]; then
  echo "README.md and .ci/run install different packages:" >&2
  echo "$ci" >"${TMPDIR:-/tmp}/ci.$$"; echo "$readme" >"${TMPDIR:-/tmp}/readme.$$"
  diff "${TMPDIR:-/tmp}/ci.$$" "${TMPDIR:-/tmp}/readme.$$" >&2
  rm -f "${TMPDIR:-/tmp}/ci.$$" "${TMPDIR:-/tmp}/readme.$$"
  exit 1
fi

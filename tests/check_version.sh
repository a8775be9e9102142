#!/bin/sh
# Fails unless the first line of `ztmime --version` names the version of
# ztmime.h as a word of its own ("ztmime 0.2.0").
# usage: tests/check_version.sh PATH/TO/ztmime PATH/TO/ztmime.h
set -u
version=$(sed -n 's/^#define ZTMIME_VERSION_STRING "\(.*\)"$/\1/p' "${2:?}")
out=$("${1:?}" --version 2>"${TMPDIR:-/tmp}/ztv.$$")
status=$?
err=$(cat "${TMPDIR:-/tmp}/ztv.$$"); rm -f "${TMPDIR:-/tmp}/ztv.$$"
if [ $status -eq 2 ] && echo "$err" | grep -q "unknown command '--version'"; then
  echo "SKIPPED: this ztmime has no --version yet"
  exit 77
fi
first=$(echo "$out" | head -n 1)
case " $first " in
  *" $version "*) exit 0 ;;
esac
echo "ztmime --version printed '$first' (status $status), expected the version $version" >&2
exit 1

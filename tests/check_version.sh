#!/bin/sh
# Fails unless the first line of `ztmime --version` names the version of
# ztmime.h as a word of its own ("ztmime 0.3.0").
# usage: tests/check_version.sh PATH/TO/ztmime PATH/TO/ztmime.h
set -u
version=$(sed -n 's/^#define ZTMIME_VERSION_STRING "\(.*\)"$/\1/p' "${2:?}")
out=$("${1:?}" --version)
status=$?
first=$(echo "$out" | head -n 1)
case " $first " in
  *" $version "*) exit 0 ;;
esac
echo "ztmime --version printed '$first' (status $status), expected the version $version" >&2
exit 1

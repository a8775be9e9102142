#!/bin/sh
# Runs the ztmime program on the bundled sample message.
# usage: examples/demo.sh PATH/TO/ztmime
set -e
bin=${1:?usage: $0 PATH/TO/ztmime}
dir=$(dirname "$0")
echo "\$ ztmime events examples/sample.eml"
"$bin" events "$dir/sample.eml"
echo
echo "\$ ztmime tree examples/minutes.eml"
"$bin" tree "$dir/minutes.eml"
echo
echo "\$ ztmime headers examples/minutes.eml"
"$bin" headers "$dir/minutes.eml"

#!/usr/bin/env bash
# make_link_samples.sh DIR: a file "target.bin" and a Unix symbolic link "link.bin" to it, which
# Windows programs under Wine open as a plain file that is really the target.
set -euo pipefail
dir=$1
rm -rf "$dir"
mkdir -p "$dir"
printf 'target' >"$dir/target.bin"
ln -s target.bin "$dir/link.bin"

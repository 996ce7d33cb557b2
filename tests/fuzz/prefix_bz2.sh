#!/bin/sh
# Copies a static libbzip2 with every BZ2_ name it defines prefixed by kvx_,
# so that another libbzip2 can be linked beside it.
# usage: prefix_bz2.sh IN.a OUT.a
set -eu
nm -g --defined-only "$1" | awk '$3 ~ /^BZ2_/ {print $3, "kvx_" $3}' | sort -u >"$2.names"
test -s "$2.names"
objcopy --redefine-syms="$2.names" "$1" "$2"

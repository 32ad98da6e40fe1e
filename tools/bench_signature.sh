#!/usr/bin/env bash
# Compares the short bench signature ("Nodes searched: N") of two builds; the
# search must visit exactly the same nodes whatever the build flags.
set -euo pipefail
a=$("$1" short | grep '^Nodes searched:')
b=$("$2" short | grep '^Nodes searched:')
echo "$1: $a"
echo "$2: $b"
if [ "$a" != "$b" ]; then
  echo "bench signatures differ" >&2
  exit 1
fi

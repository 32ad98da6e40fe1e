#!/usr/bin/env bash
# Builds the bench under several optimisation settings and prints the
# signature and speed of each: -O2, -O3, -O3 with link-time optimisation, and
# -O3 with LTO and profile-guided optimisation trained on the bench itself.
# Every variant must print the same "Nodes searched"; only the speed may differ.
# Usage: tools/build_variants.sh [runs per variant, default 3]
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-3}
root=build/variants
configure() {  # name, extra cmake arguments...
  local name=$1; shift
  cmake -S . -B "$root/$name" -G Ninja -DCMAKE_BUILD_TYPE=Release -DRUVAN_TESTS=OFF "$@" >/dev/null
  cmake --build "$root/$name" --target ruvan-bench >/dev/null
}
configure O2 -DCMAKE_CXX_FLAGS_RELEASE="-O2 -DNDEBUG"
configure O3 -DCMAKE_CXX_FLAGS_RELEASE="-O3 -DNDEBUG"
configure LTO -DCMAKE_CXX_FLAGS_RELEASE="-O3 -DNDEBUG" -DCMAKE_INTERPROCEDURAL_OPTIMIZATION=ON
# Profile-guided: train and use in one build directory, so that the profile
# files sit beside the objects they belong to.
rm -rf "$root/PGO"
configure PGO -DCMAKE_CXX_FLAGS_RELEASE="-O3 -DNDEBUG -fprofile-generate" -DCMAKE_INTERPROCEDURAL_OPTIMIZATION=ON
"$root/PGO/ruvan-bench" >/dev/null
configure PGO -DCMAKE_CXX_FLAGS_RELEASE="-O3 -DNDEBUG -fprofile-use -fprofile-correction" \
  -DCMAKE_INTERPROCEDURAL_OPTIMIZATION=ON
# Per variant: the signature, then nodes/second overall and per rule, the
# best of the runs (the least disturbed by anything else on the machine).
printf '%-5s %-14s %12s %12s %12s %12s\n' variant "nodes" "all" "freestyle" "standard" "renju"
for v in O2 O3 LTO PGO; do
  best=""
  for _ in $(seq "$runs"); do
    out=$("$root/$v/ruvan-bench")
    line=$(awk '
      $2 == "freestyle" || $2 == "standard" || $2 == "renju" { n[$2] += $5; t[$2] += $6 }
      /^Nodes searched/ { nodes = $3 }
      /^Nodes\/second/ { all = $2 }
      END { printf "%s %s %d %d %d", nodes, all, 1000 * n["freestyle"] / t["freestyle"],
                   1000 * n["standard"] / t["standard"], 1000 * n["renju"] / t["renju"] }' <<<"$out")
    if [ -z "$best" ] || [ "$(cut -d' ' -f2 <<<"$line")" -gt "$(cut -d' ' -f2 <<<"$best")" ]; then best=$line; fi
  done
  read -r nodes all free std renju <<<"$best"
  printf '%-5s %-14s %12s %12s %12s %12s\n' "$v" "$nodes" "$all" "$free" "$std" "$renju"
done

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
printf '%-5s %-16s %s\n' variant "nodes searched" "nodes/second (each run)"
for v in O2 O3 LTO PGO; do
  speeds=""
  for _ in $(seq "$runs"); do
    out=$("$root/$v/ruvan-bench")
    nodes=$(grep '^Nodes searched' <<<"$out" | awk '{print $3}')
    speeds="$speeds $(grep '^Nodes/second' <<<"$out" | awk '{print $2}')"
  done
  printf '%-5s %-16s%s\n' "$v" "$nodes" "$speeds"
done

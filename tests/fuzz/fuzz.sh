#!/usr/bin/env bash
# Builds the fuzz targets with clang and libFuzzer and fuzzes them.
#   tests/fuzz/fuzz.sh <target|all> [seconds] [libFuzzer options...]
# Targets: policy_document policy_response usb_whitelist_reply
#          control_centre_reply session_settings system_settings
# The growing corpus and any crash go below the build directory
# (VORN_FUZZ_BUILD, default build-fuzz-clang); the seeds stay untouched.
set -euo pipefail

top=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
dir=${VORN_FUZZ_BUILD:-$top/build-fuzz-clang}
all=(policy_document policy_response usb_whitelist_reply control_centre_reply
     session_settings system_settings)

[ $# -ge 1 ] || { sed -n 3,4p "${BASH_SOURCE[0]}" >&2; exit 2; }
target=$1; shift
seconds=${1:-60}; [ $# -ge 1 ] && shift
if [ "$target" = all ]; then targets=("${all[@]}"); else targets=("$target"); fi

cmake -S "$top" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DVORN_FUZZ=ON >/dev/null
cmake --build "$dir" --target "${targets[@]/#/fuzz_}"

# libFuzzer writes the logs of -jobs into the working directory.
cd "$dir"
status=0
for t in "${targets[@]}"; do
  work=$dir/fuzz-corpus/$t
  artifacts=$dir/fuzz-artifacts/$t
  mkdir -p "$work" "$artifacts"
  echo "== fuzzing $t for ${seconds}s (crashes go to $artifacts)"
  "$dir/bin/fuzz_$t" -max_total_time="$seconds" -timeout=10 -print_final_stats=1 \
    -artifact_prefix="$artifacts/" "$@" "$work" "$top/tests/fuzz/corpus/$t" || status=1
done
exit $status

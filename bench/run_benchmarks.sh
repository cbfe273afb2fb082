#!/usr/bin/env bash
# Runs the benchmarks against a build directory. Reports; never fails on a time.
set -euo pipefail
build=${1:?build directory}
here=$(cd "$(dirname "$0")" && pwd)
if [ -x "$build/bin/bench_policy" ]; then
  "$build/bin/bench_policy" --benchmark_counters_tabular=true
fi
if [ -f "$here/footprint.py" ] && [ -x "$build/bin/qarg" ]; then
  /usr/bin/python3 "$here/footprint.py" --build "$build"
fi
if [ -f "$here/download_footprint.py" ] && [ -x "$build/bin/qarg" ]; then
  /usr/bin/python3 "$here/download_footprint.py" --build "$build"
fi
# A few minutes: a hundred qarg against one server, an outage with Retry-After.
if [ -f "$here/fleet.py" ] && [ -x "$build/bin/qarg" ]; then
  /usr/bin/python3 "$here/fleet.py" --build "$build"
fi

#!/usr/bin/env bash
# Builds and runs the host-cycle benchmark (see README), then prints its table.
# Extra arguments go to the benchmark, e.g. --benchmark_filter=cycle.
# KELVRA_BENCH_REPETITIONS (default 5) sets how often each case runs; the
# table shows medians. Results are kept in build/bench/results.json.
set -euo pipefail
cd "$(dirname "$0")/.."
need=()
command -v cmake >/dev/null || need+=(cmake)
command -v ninja >/dev/null || need+=(ninja-build)
command -v g++ >/dev/null || need+=(g++)
command -v python3 >/dev/null || need+=(python3)
[ -f /usr/include/benchmark/benchmark.h ] || need+=(libbenchmark-dev)
if [ ${#need[@]} -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq "${need[@]}" >/dev/null
fi
cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DKELVRA_TESTS=OFF -DKELVRA_BENCH=ON >/dev/null
cmake --build build/bench --target kelvra_bench >/dev/null
build/bench/bench/kelvra_bench --benchmark_repetitions="${KELVRA_BENCH_REPETITIONS:-5}" \
  --benchmark_report_aggregates_only=true --benchmark_min_time=0.2 \
  --benchmark_out=build/bench/results.json --benchmark_out_format=json "$@"
python3 bench/summarise.py build/bench/results.json

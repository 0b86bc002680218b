#!/bin/sh
# Measures the filter against the floor set by its encoder: see
# bench/quelmoss_bench.cpp. Not part of the test run.
#
#   scripts/bench.sh [--quick] [--repeats N]
#
# Table on standard output; JSON in out/bench/results.json.
set -eu
cd "$(dirname "$0")/.."
./scripts/install-deps.sh >/dev/null
cmake -S . -B build-release -DCMAKE_BUILD_TYPE=Release -DQUELMOSS_TESTS=OFF >/dev/null
cmake --build build-release -j"$(nproc)" >/dev/null
mkdir -p out/bench
# The filter's fixed paths under /tmp are the benchmark's own.
exec sh tests/private_tmp.sh "$PWD" build-release/quelmoss_bench --filter "$PWD/build-release/brivane_quelmoss" \
  --ppd "$PWD/build-release/brivane_quelmoss.ppd" --source "$PWD" --work "$PWD/out/bench" \
  --out "$PWD/out/bench/results.json" "$@"

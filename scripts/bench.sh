#!/usr/bin/env bash
# Runs every benchmark under bench/ and prints its figures.
set -euo pipefail
build=${1:-build}
"$build/bench/bench_sampler" --benchmark_counters_tabular=true

#!/usr/bin/env bash
# Measures a local sample stream unattended and shows what was measured.
set -euo pipefail
build=${1:-build}
cat <<MSG
The demo is not complete yet. When it is, it will:
  1. generate a short test clip and serve it from a local RTSP server on 127.0.0.1;
  2. run $build/zephyrscope unattended against it (in a window when DISPLAY is set, offscreen otherwise);
  3. print the statistics log's path and a summary of what was measured.
What is built today: the measurement core and its tests ($build/tests/core/core_tests)
and the per-tick benchmark ($build/bench/bench_sampler).
MSG

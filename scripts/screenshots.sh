#!/usr/bin/env bash
# Takes the pictures of the program's dialogs under docs/ on a private Xvfb
# display: the main dialog playing a generated test clip, About, Open and the
# auto-shutdown countdown.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
out=docs/screenshots
mkdir -p "$out"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

gst-launch-1.0 -q videotestsrc pattern=smpte num-buffers=150 \
  ! video/x-raw,width=640,height=480,framerate=25/1 ! videoconvert ! x264enc ! h264parse \
  ! matroskamux ! filesink location="$work/test-pattern.mkv"

xvfb-run -a -s "-screen 0 1280x1024x24" \
  "$build/tools/screenshots/zephyrscope_screenshots" "$out" "$work/test-pattern.mkv"

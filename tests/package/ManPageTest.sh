#!/usr/bin/env bash
# Each manual page renders without a warning and is in step with its program's
# --help: the same options and the same exit statuses.
# Usage: ManPageTest.sh PROGRAM PAGE [PROGRAM PAGE]...
set -euo pipefail
fail() { echo "FAIL: $*" >&2; exit 1; }

while [ $# -ge 2 ]; do
  program=$1 page=$2
  shift 2
  name=$(basename "$page")
  warnings=$(groff -ww -z -man "$page" 2>&1)
  [ -z "$warnings" ] || fail "$name: $warnings"

  help=$("$program" --help)
  # Options: the first words of the lines under "Options:", as -x, --long or -platform.
  options=$(awk '/^Options:/ {on=1; next} /^[^ ]/ {on=0} on' <<<"$help" |
            grep -oE '^ +(-[A-Za-z]+|--[a-z-]*)(, +--[a-z-]+)?' | tr ',' '\n' | tr -d ' ')
  [ -n "$options" ] || fail "no options found in $program --help"
  for option in $options; do
    grep -qF -- "${option//-/\\-}" "$page" || fail "$name does not name $option, which --help lists"
  done

  # Exit statuses: the numbers under "Exit status:" against the .B lines under .SH EXIT STATUS.
  from_help=$(awk '/^Exit status:/ {on=1; next} /^[^ ]/ {on=0} on' <<<"$help" | grep -oE '^  [0-9]+' | tr -d ' ' | sort -n)
  from_page=$(awk '/^\.SH EXIT STATUS/ {on=1; next} /^\.SH/ {on=0} on && /^\.B [0-9]+$/ {print $2}' "$page" | sort -n)
  [ -n "$from_help" ] || fail "no exit statuses found in $program --help"
  [ "$from_help" = "$from_page" ] ||
    fail "$name lists exit statuses $(echo $from_page), --help lists $(echo $from_help)"
  echo "$name: $(wc -w <<<"$options") options and exit statuses $(echo $from_help) as in --help"
done

#!/usr/bin/env bash
# Each manual page renders without a warning and is in step with its program's
# --help, which is printed from the option and protocol tables: the same
# options both ways, every URL scheme --help names, and the same exit
# statuses. The README's option list is held to the first program's --help in
# the same way.
# Usage: ManPageTest.sh README PROGRAM PAGE [PROGRAM PAGE]...
set -euo pipefail
fail() { echo "FAIL: $*" >&2; exit 1; }

readme=$1
shift

# The options --help lists: the first words of the lines under "Options:", as
# -x, --long or -platform, one a line, sorted.
help_options() {
  awk '/^Options:/ {on=1; next} /^[^ ]/ {on=0} on' <<<"$1" |
    grep -oE '^ +(-[A-Za-z]+|--[a-z0-9-]*)(, +--[a-z0-9-]+)?' | tr ',' '\n' | tr -d ' ' | sort -u
}

# The options a page describes: the words starting with a dash on the tag line
# of each .TP or .TQ item under .SH OPTIONS, cut at '='.
page_options() {
  awk '/^\.SH/ {on = ($0 ~ /^\.SH OPTIONS/); next}
       on && tag {print; tag=0; next}
       on && /^\.(TP|TQ)/ {tag=1}' "$1" |
    sed -e 's/\\-/-/g' -e 's/^\.[A-Z]* //' | tr -d '",' | tr ' ' '\n' | grep -E '^-' | sed 's/=.*//' | sort -u
}

# The options of the README's list: the code spans of the first cell of each
# row of the table under "### Options", up to a space or '='.
readme_options() {
  awk '/^#/ {on = ($0 == "### Options"); next} on && /^\| `-/' "$1" |
    cut -d'|' -f2 | grep -oE '`-[^`]*`' | tr -d '`' | sed 's/[ =].*//' | sort -u
}

# The URL schemes --help names under URL, one a line ("whep+https://"); none
# for a program that takes no URL.
help_schemes() {
  awk '/^  URL / {on=1} /^  LOGFILE / {on=0} on' <<<"$1" | { grep -oE '[a-z][a-z0-9+.-]*://' || true; } | sort -u
}

# Whether FILE names SCHEME as a scheme of its own: "http://" is not named by
# "whep+http://".
names_scheme() {
  local pattern
  pattern=$(sed 's/[+.]/\\&/g' <<<"$1")
  grep -qE "(^|[^a-z0-9+.-])$pattern" "$2"
}

same_options() {
  local what=$1 from_help=$2 from_doc=$3
  [ -n "$from_doc" ] || fail "no options found in $what"
  local missing extra
  missing=$(comm -23 <(echo "$from_help") <(echo "$from_doc"))
  extra=$(comm -13 <(echo "$from_help") <(echo "$from_doc"))
  [ -z "$missing" ] || fail "$what does not name $(echo $missing), which --help lists"
  [ -z "$extra" ] || fail "$what names $(echo $extra), which --help does not list"
}

first=1
while [ $# -ge 2 ]; do
  program=$1 page=$2
  shift 2
  name=$(basename "$page")
  warnings=$(groff -ww -z -man "$page" 2>&1)
  [ -z "$warnings" ] || fail "$name: $warnings"

  help=$("$program" --help)
  options=$(help_options "$help")
  [ -n "$options" ] || fail "no options found in $program --help"
  same_options "$name" "$options" "$(page_options "$page")"

  schemes=$(help_schemes "$help")
  for scheme in $schemes; do
    names_scheme "$scheme" "$page" || fail "$name does not name $scheme, which --help lists"
  done

  # Exit statuses: the numbers under "Exit status:" against the .B lines under .SH EXIT STATUS.
  from_help=$(awk '/^Exit status:/ {on=1; next} /^[^ ]/ {on=0} on' <<<"$help" | grep -oE '^  [0-9]+' | tr -d ' ' | sort -n)
  from_page=$(awk '/^\.SH EXIT STATUS/ {on=1; next} /^\.SH/ {on=0} on && /^\.B [0-9]+$/ {print $2}' "$page" | sort -n)
  [ -n "$from_help" ] || fail "no exit statuses found in $program --help"
  [ "$from_help" = "$from_page" ] ||
    fail "$name lists exit statuses $(echo $from_page), --help lists $(echo $from_help)"
  echo "$name: options $(echo $options), schemes $(echo ${schemes:-none}), exit statuses $(echo $from_help) as in --help"

  if [ "$first" = 1 ]; then
    first=0
    readme_name=$(basename "$readme")
    same_options "$readme_name's option list" "$options" "$(readme_options "$readme")"
    for scheme in $schemes; do
      names_scheme "$scheme" "$readme" || fail "$readme_name does not name $scheme, which --help lists"
    done
    echo "$readme_name: the options and schemes of $(basename "$program") --help"
  fi
done

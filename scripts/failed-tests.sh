#!/usr/bin/env bash
# After a failed ctest run: each failed test's failure lines again, at the end,
# where a log cut to its head and tail still shows them.
set -euo pipefail
temporary="${1:-build}/Testing/Temporary"
[ -s "$temporary/LastTestsFailed.log" ] || exit 0
echo
echo "=== Why each failed test failed (from $temporary/LastTest.log) ==="
while IFS=: read -r number name; do
    echo "--- $name"
    awk -v name="$name" '
        $0 ~ ("^[0-9]+/[0-9]+ Testing: " name "$") { inside = 1; next }
        inside && /^Test (Passed|Failed)|^Test time/ { inside = 0 }
        inside && /: Failure$|^\[  FAILED  \]|[Tt]imeout|Segmentation|Sanitizer/ { showing = 1 }
        inside && showing && shown++ < 80 { print }
    ' "$temporary/LastTest.log"
done < "$temporary/LastTestsFailed.log"

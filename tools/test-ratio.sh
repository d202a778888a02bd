#!/bin/sh
# Size of the tests against the code: non-blank, non-comment lines of the .cpp, .h, .sh and .py
# files under tests/ and under src/ + tools/, and their ratio (the project's budget is 0.40).
set -eu
cd "$(dirname "$0")/.."

count() {
    find "$@" -type f \( -name '*.cpp' -o -name '*.h' -o -name '*.sh' -o -name '*.py' \) -print0 \
        | xargs -0 -r awk '
            FNR == 1 { block = 0; shell = (FILENAME ~ /\.(sh|py)$/) }
            {
                line = $0
                gsub(/^[ \t]+|[ \t]+$/, "", line)
                if (line == "") next
                if (shell) { if (line !~ /^#/) n++; next }
                if (block) { if (line ~ /\*\//) { block = 0; sub(/.*\*\//, "", line); if (line != "") n++ } next }
                if (line ~ /^\/\//) next
                if (line ~ /^\/\*/) { if (line !~ /\*\//) block = 1; else { sub(/.*\*\//, "", line); if (line != "") n++ } next }
                n++
            }
            END { print n + 0 }'
}

tests=$(count tests)
code=$(count src tools)
echo "tests/: $tests lines"
echo "src/ + tools/: $code lines"
awk -v t="$tests" -v c="$code" 'BEGIN { printf "ratio: %.2f\n", t / c }'

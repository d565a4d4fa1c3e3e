#!/usr/bin/env bash
# Prints how large the tests are against the code they test: non-blank lines of .cpp, .h, .py,
# .qml and .sh files under tests/ and fuzz/, over the same under src/ and tools/.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

count() {
    local folder total=0 lines
    for folder in "$@"; do
        [ -d "$root/$folder" ] || continue
        lines=$(find "$root/$folder" -type f \( -name '*.cpp' -o -name '*.h' -o -name '*.py' -o -name '*.qml' -o -name '*.sh' \) \
            -exec grep -chv '^[[:space:]]*$' {} + | awk '{ s += $1 } END { print s + 0 }')
        total=$((total + lines))
    done
    echo "$total"
}

tests=$(count tests fuzz)
code=$(count src tools)
awk -v t="$tests" -v c="$code" 'BEGIN { printf "tests: %d non-blank lines, code: %d, ratio %.2f\n", t, c, (c ? t / c : 0) }'

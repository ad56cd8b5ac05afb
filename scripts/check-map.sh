#!/usr/bin/env bash
# Keeps the map true: fails when a source file under src/ is not named in
# docs/architecture.md, either by its file name or as "stem.*" (a header and
# its source together).
set -euo pipefail
cd "$(dirname "$0")/.."
map=docs/architecture.md
unnamed=0
while IFS= read -r path; do
    name=${path##*/}
    if ! grep -q -F -e "$name" -e "${name%.*}.*" "$map"; then
        echo "$map does not name $path"
        unnamed=1
    fi
done < <(find src -type f \( -name '*.h' -o -name '*.cpp' -o -name '*.inc' \) | sort)
exit "$unnamed"

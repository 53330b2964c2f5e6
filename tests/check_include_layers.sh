#!/usr/bin/env bash
# Fails, naming each file, when a library source includes a folder above its own: the
# folders are layers, and code may only call downward. Tests and test-support headers link
# the whole library and are left out.
set -euo pipefail
cd "${1:-$(dirname "$0")/..}"

# Bottom first; a folder may include itself and any folder before it.
layers=(platform core services records network connection webserver routing manager node)

rank_of() {
    local i
    for i in "${!layers[@]}"; do
        [[ ${layers[$i]} == "$1" ]] && { echo "$i"; return; }
    done
    echo -1
}

failures=0
checked=0
for folder in "${layers[@]}"; do
    [[ -d $folder ]] || continue
    own=$(rank_of "$folder")
    for file in "$folder"/*.h "$folder"/*.cpp; do
        [[ -e $file ]] || continue
        case $file in *_test.cpp | *_test_support.h) continue ;; esac
        checked=$((checked + 1))
        while IFS= read -r target; do
            rank=$(rank_of "$target")
            if ((rank < 0)); then
                echo "$file: includes \"$target/...\", which is no layer of the library"
                failures=$((failures + 1))
            elif ((rank > own)); then
                echo "$file: includes \"$target/...\", a layer above $folder/"
                failures=$((failures + 1))
            fi
        done < <(sed -n -E 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*"([a-z_]+)\/.*/\1/p' "$file")
    done
done

if ((checked == 0)); then
    echo "no library sources found"
    exit 1
fi
echo "$checked library sources read, $failures upward includes"
((failures == 0))

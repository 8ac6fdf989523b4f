#!/bin/sh
# The picture of the house in docs/architecture.md against the tree: every
# folder it names exists, and includes run one way (board/ includes no header
# of desktop/ or station/, and neither front a header of the other).
# Usage: check-architecture.sh SOURCE_DIR
set -eu
src=$1
doc=$src/docs/architecture.md
failed=0

# The folders named by the nodes of the Mermaid picture: ["folder/"].
folders=$(sed -n '/^```mermaid$/,/^```$/p' "$doc" | grep -o '\["[^"]*/"\]' | sed 's/^\["//; s/"\]$//' | sort -u)
if [ -z "$folders" ]; then
    echo "no folders found in the picture of $doc"
    exit 1
fi
for folder in $folders; do
    if [ ! -d "$src/$folder" ]; then
        echo "the picture names $folder, which does not exist"
        failed=1
    fi
done

# The headers of a folder, its subfolders included, by file name.
headers_of() {
    find "$src/$1" -name '*.h' -printf '%f\n' | sort -u
}

# Fails when a source file under $1 includes a header of folder $2.
check_includes() {
    for header in $(headers_of "$2"); do
        found=$(grep -rl --include='*.cpp' --include='*.h' "#include \"$header\"" "$src/$1" || true)
        if [ -n "$found" ]; then
            echo "$1 includes $2's $header: $found"
            failed=1
        fi
    done
}
check_includes board desktop
check_includes board station
check_includes station desktop
check_includes desktop station

[ "$failed" -eq 0 ] && echo "the picture's $(echo "$folders" | wc -l) folders exist; includes run one way"
exit "$failed"

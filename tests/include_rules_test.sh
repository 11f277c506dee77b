#!/bin/bash
# Checks every #include "..." of the project against the table of allowed
# includes in CONTRIBUTING.md ("Folders and layers"). Prints each include that
# breaks it as FILE:LINE and exits 1.
set -u
cd "${1:-$(dirname "$0")/..}" || exit 2
declare -A layer allowed
while IFS='|' read -r _ folder lyr _ may _; do
  folder=$(tr -d ' `/' <<<"$folder")
  layer[$folder]=$(tr -d ' ' <<<"$lyr")
  allowed[$folder]=$(tr -d '`—' <<<"$may" | xargs)
done < <(grep -E '^\| `[a-z]+/` \| [0-9]+ \|' CONTRIBUTING.md)
[ ${#layer[@]} -ge 5 ] || { echo "CONTRIBUTING.md: no table of allowed includes found"; exit 2; }
bad=0
fail() { echo "$1"; bad=1; }
# Every allowed edge points to a lower layer.
for f in "${!allowed[@]}"; do
  for to in ${allowed[$f]}; do
    [ "${layer[$to]:-99}" -lt "${layer[$f]}" ] || fail "CONTRIBUTING.md: $f may include $to: not lower"
  done
done
while IFS= read -r file; do
  folder=${file%%/*}
  [ -n "${layer[$folder]:-}" ] || { fail "$file: $folder/ is not in CONTRIBUTING.md's table"; continue; }
  while IFS=: read -r line text; do
    target=$(sed -E 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*"([^"]*)".*/\1/' <<<"$text")
    to=${target%%/*}
    [ "$to" != "$target" ] || { fail "$file:$line: \"$target\" does not name its folder"; continue; }
    [ "$to" = "$folder" ] && continue
    case " ${allowed[$folder]} " in *" $to "*) continue ;; esac
    # Tests beside the code may also use the fixtures and any lower layer.
    case "$file" in *_test.cc | *_test.c | *_test_util.*)
      [ "$to" = testing ] || [ "${layer[$to]:-99}" -lt "${layer[$folder]}" ] && continue ;;
    esac
    fail "$file:$line: $folder/ may not include \"$target\" (allowed: ${allowed[$folder]:-none})"
  done < <(grep -nE '^[[:space:]]*#[[:space:]]*include[[:space:]]*"' "$file")
done < <(git ls-files -co --exclude-standard -- '*.c' '*.cc' '*.h' 2>/dev/null ||
         find . -path ./.git -prune -o -path ./build -prune -o -path './build-*' -prune -o \
           -type f \( -name '*.c' -o -name '*.cc' -o -name '*.h' \) -print | sed 's#^\./##')
[ $bad = 0 ] && echo "every include follows CONTRIBUTING.md's table"
exit $bad

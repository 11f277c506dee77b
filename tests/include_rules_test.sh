#!/bin/bash
# Checks every #include "..." of the project against the table of allowed
# includes in README.md ("For contributors"). Prints each include that breaks
# it as FILE:LINE and exits 1.
set -u
root=${1:-$(cd "$(dirname "$0")/.." && pwd)}
cd "$root" || exit 2

declare -A layer allowed
while IFS='|' read -r _ folder lyr _ may _; do
  folder=$(echo "$folder" | tr -d ' `/')
  lyr=$(echo "$lyr" | tr -d ' ')
  allowed[$folder]=$(echo "$may" | tr -d '`—' | xargs)
  layer[$folder]=$lyr
done < <(grep -E '^\| `[a-z]+/` \| [0-9]+ \|' README.md)
if [ ${#layer[@]} -lt 5 ]; then
  echo "README.md: no table of allowed includes found"
  exit 2
fi

bad=0
fail() { echo "$1"; bad=1; }

# Every allowed edge must point to a lower layer.
for f in "${!allowed[@]}"; do
  for to in ${allowed[$f]}; do
    [ -n "${layer[$to]:-}" ] || { fail "README.md: $f may include unknown folder $to"; continue; }
    [ "${layer[$to]}" -lt "${layer[$f]}" ] ||
      fail "README.md: $f (layer ${layer[$f]}) may include $to (layer ${layer[$to]}): not lower"
  done
done

while IFS= read -r file; do
  folder=${file%%/*}
  [ "$folder" != "$file" ] || continue
  if [ -z "${layer[$folder]:-}" ]; then
    fail "$file: folder $folder/ is not in README.md's table"
    continue
  fi
  is_test=0
  case "$file" in *_test.cc | *_test.c | *_test_util.*) is_test=1 ;; esac
  while IFS=: read -r line text; do
    target=$(echo "$text" | sed -E 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*"([^"]*)".*/\1/')
    to=${target%%/*}
    if [ "$to" = "$target" ]; then
      fail "$file:$line: #include \"$target\" does not name its folder"
      continue
    fi
    [ "$to" = "$folder" ] && continue
    case " ${allowed[$folder]} " in *" $to "*) continue ;; esac
    if [ $is_test = 1 ] && [ -n "${layer[$to]:-}" ]; then
      [ "$to" = testing ] && continue
      [ "${layer[$to]}" -lt "${layer[$folder]}" ] && continue
    fi
    fail "$file:$line: $folder/ may not include \"$target\" (allowed: ${allowed[$folder]:-none})"
  done < <(grep -nE '^[[:space:]]*#[[:space:]]*include[[:space:]]*"' "$file")
done < <(find . -path ./.git -prune -o -path './build*' -prune -o -type f \
           \( -name '*.c' -o -name '*.cc' -o -name '*.h' \) -print | sed 's#^\./##' | sort)

[ $bad = 0 ] && echo "every include follows README.md's table"
exit $bad

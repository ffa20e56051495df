#!/usr/bin/env bash
# Formats every C++ source of the repository with clang-format and the style
# in .clang-format.
#   tools/format.sh          rewrite the files in place
#   tools/format.sh --check  change nothing; list the files that differ and
#                            fail when there is one
set -euo pipefail
cd "$(dirname "$0")/.."
clang_format="${CLANG_FORMAT:-clang-format}"
mode="${1:-}"
case "$mode" in
  ""|--check) ;;
  *) echo "usage: tools/format.sh [--check]" >&2; exit 2 ;;
esac
mapfile -t files < <(git ls-files -- '*.cpp' '*.h')
if [[ "$mode" == --check ]]; then
  differ=0
  for f in "${files[@]}"; do
    if ! "$clang_format" --dry-run -Werror "$f" >/dev/null 2>&1; then
      echo "$f"
      differ=$((differ + 1))
    fi
  done
  if (( differ > 0 )); then
    echo "format: $differ of ${#files[@]} files differ from .clang-format (run tools/format.sh)" >&2
    exit 1
  fi
  echo "format: ${#files[@]} files match .clang-format"
else
  printf '%s\0' "${files[@]}" | xargs -0 -n 20 "$clang_format" -i
fi

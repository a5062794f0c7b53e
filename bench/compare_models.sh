#!/usr/bin/env bash
# Checks that two builds read the same models: dumps every FILE (or every
# file under a folder) with both executables (--dump --raw --no-plugins)
# and compares the output and exit status.
#   bench/compare_models.sh OLD_TARNELLE NEW_TARNELLE FILE|DIR...
set -uo pipefail
[ $# -ge 3 ] || { echo "usage: $0 OLD_TARNELLE NEW_TARNELLE FILE|DIR..." >&2; exit 2; }
old=$1 new=$2
shift 2
same=0 differ=0
while IFS= read -r -d '' f; do
  a=$("$old" --dump --raw --no-plugins "$f" 2>/dev/null | sha256sum; echo "exit ${PIPESTATUS[0]}")
  b=$("$new" --dump --raw --no-plugins "$f" 2>/dev/null | sha256sum; echo "exit ${PIPESTATUS[0]}")
  if [ "$a" == "$b" ]; then
    same=$((same + 1))
  else
    differ=$((differ + 1))
    echo "DIFFERS: $f"
  fi
done < <(find "$@" -type f -print0 | sort -z)
echo "$same same, $differ different"
[ "$differ" -eq 0 ]

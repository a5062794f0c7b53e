#!/usr/bin/env bash
# Reads LeakSanitizer's reports in a folder and fails when a leak was
# allocated from the project's own code (a frame with one of our source
# paths); leaks wholly inside system libraries are listed only.
#   our_leaks.sh DIR
set -euo pipefail
dir=$1
shopt -s nullglob
reports=("$dir"/lsan*)
if [ ${#reports[@]} -eq 0 ]; then
  echo "leaks: none reported"
  exit 0
fi
ours=0
for f in "${reports[@]}"; do
  # One leak per paragraph; ours when a frame names a source of ours.
  if awk 'BEGIN { RS = ""; found = 0 }
          /leak of/ && /\.\.\/(app|archive|archivers|core|loader|mesh|plugins|ply|preview|readers|tests|widgets)\// {
            print; found = 1 }
          END { exit found ? 0 : 1 }' "$f"; then
    ours=1
  fi
done
if [ $ours -ne 0 ]; then
  echo "leaks: allocated from our code (above)"
  exit 1
fi
echo "leaks: only inside system libraries:"
grep -h "SUMMARY" "${reports[@]}" | sort | uniq -c

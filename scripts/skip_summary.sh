#!/usr/bin/env bash
# Lists the skipped tests of a ctest JUnit report (ctest --output-junit)
# with the reason each one gave: the line after a googletest "Skipped", or a
# shell test's "skipped: ..." line.
#   skip_summary.sh REPORT.xml TITLE
set -euo pipefail
report=$1 title=$2
[ -f "$report" ] || exit 0
awk -v title="$title" '
  function unescape(s) {
    gsub(/&lt;/, "<", s); gsub(/&gt;/, ">", s); gsub(/&quot;/, "\"", s)
    gsub(/&apos;/, "\047", s); gsub(/&amp;/, "\\&", s)
    return s
  }
  function flush() {
    if (name != "") {
      lines[++n] = "  " name ": " (reason != "" ? reason : "(no reason given)")
    }
    name = ""; reason = ""; next_is_reason = 0
  }
  /<testcase / {
    flush()
    if ($0 ~ /status="notrun"/) {
      name = $0; sub(/.*<testcase name="/, "", name); sub(/".*/, "", name); name = unescape(name)
    }
    next
  }
  name == "" { next }
  /<\/testcase>/ { flush(); next }
  {
    line = $0; sub(/^[ \t]*(<system-out>)?/, "", line); line = unescape(line)
    if (reason == "" && next_is_reason && line != "") { reason = line; next_is_reason = 0; next }
    if (reason == "" && line ~ /: Skipped$/) { next_is_reason = 1; next }
    if (reason == "" && line ~ /^skipped: /) { reason = substr(line, 10); next }
  }
  END {
    flush()
    if (n == 0) exit
    printf "%s: %d skipped\n", title, n
    for (i = 1; i <= n; ++i) print lines[i]
  }
' "$report"

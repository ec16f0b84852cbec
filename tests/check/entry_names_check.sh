#!/bin/sh
# Every troubleshooting entry that kelmo7-check names (check/check_report.cpp)
# is a "## " heading of docs/troubleshooting.md (or of PAGE), word for word.
# Usage: entry_names_check.sh ROOT [PAGE]
set -u
root=$1 page=${2:-$1/docs/troubleshooting.md}
names=$(sed -n 's/^const char\* const kEntry[A-Za-z]* = "\(.*\)";$/\1/p' "$root/check/check_report.cpp")
[ -n "$names" ] || { echo "entry_names_check: no entry names found in check/check_report.cpp"; exit 1; }
status=0 count=0
while IFS= read -r name; do
  count=$((count + 1))
  grep -qxF "## $name" "$page" ||
    { echo "entry_names_check: \"$name\" is not a heading of $page"; status=1; }
done <<EOF_NAMES
$names
EOF_NAMES
echo "entry_names_check: $count names checked"
exit $status

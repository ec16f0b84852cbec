#!/bin/sh
# Compares the files of two builds byte for byte, and for each file that
# differs names it and its first differing offset. Fails when any differs.
# Usage: compare-builds.sh FOLDER_A FOLDER_B PATH...   (PATHs relative to each)
set -eu
a=$1 b=$2
shift 2
status=0
for path; do
  cmp -s -- "$a/$path" "$b/$path" && continue
  status=1
  for folder in "$a" "$b"; do
    [ -f "$folder/$path" ] || echo "$path is missing from $folder" >&2
  done
  [ -f "$a/$path" ] && [ -f "$b/$path" ] || continue
  # "... differ: byte N, line L" (or "char N") counts from 1; "EOF on X after
  # byte N" gives the length of the shorter file, which is where they part.
  report=$(LC_ALL=C cmp -- "$a/$path" "$b/$path" 2>&1 || true)
  case $report in
    *" differ: "*) first=${report#* differ: * }; first=$((${first%%,*} - 1)) ;;
    *" after byte "*) first=${report#* after byte }; first=${first%%[!0-9]*} ;;
    *) first=0 ;;
  esac
  printf '%s differs between the two builds, first at offset %d (0x%x)\n' "$path" "$first" "$first" >&2
done
exit $status

#!/bin/sh
# table.sh LOG: the rows that the benchmarks printed into LOG, as one table.
set -u
printf '| measure | ours | peer | ratio | goal |\n|---|---|---|---|---|\n'
grep '^ROW|' "$1" | sed 's/^ROW//; s/|/ | /g; s/^ //; s/$/ |/'

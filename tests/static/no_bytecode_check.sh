#!/bin/sh
# The checks' Python, run as on a machine where PYTHONDONTWRITEBYTECODE is not
# set, writes no bytecode into the source tree: a __pycache__ folder there
# would make the tree dirty, and `make dist` refuses a dirty tree. Whatever
# such folder is found is named and removed.
# Usage: no_bytecode_check.sh SOURCE_DIR PYTHON...
set -u
source_dir=$1
shift
env -u PYTHONDONTWRITEBYTECODE "$@" -c "import sys; sys.path.insert(0, '$source_dir/tests/static'); import pe_facts" ||
  { echo "no_bytecode_check: the checks' Python cannot import pe_facts"; exit 1; }
found=$(find "$source_dir" -path "$source_dir/build" -prune -o -name __pycache__ -type d -print)
[ -z "$found" ] && exit 0
echo "no_bytecode_check: bytecode written into the source tree: $found"
printf '%s\n' "$found" | while read -r folder; do rm -rf "$folder"; done
exit 1

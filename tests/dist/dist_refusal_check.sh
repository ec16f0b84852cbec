#!/bin/sh
# make-dist.sh refuses, before it builds anything, a tree with uncommitted
# changes and an output folder that holds a file it did not write; the file
# survives. The checks run on a throwaway repository that holds only dist/.
set -eu
top=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
repo=$work/repo
mkdir -p "$repo" && cp -r "$top/dist" "$repo/"
git -C "$repo" init -q
git -C "$repo" add . && git -C "$repo" -c user.name=t -c user.email=t@example.com commit -qm dist

fail() { printf '%s\n' "$*"; exit 1; }
# refused CASE MESSAGE: make-dist.sh fails at once, saying MESSAGE.
refused() {
  if output=$("$repo/dist/make-dist.sh" 1.0 "$work/out" 2>&1); then fail "$1: a package was made"; fi
  case $output in *"$2"*) ;; *) fail "$1: no \"$2\" in: $output" ;; esac
}

mkdir "$work/out" && echo "my notes" >"$work/out/notes.txt"
refused "a foreign file" "did not write"
[ "$(cat "$work/out/notes.txt")" = "my notes" ] || fail "the foreign file was changed"
[ "$(ls -A "$work/out")" = notes.txt ] || fail "the output folder changed: $(ls -A "$work/out")"

rm -r "$work/out"
echo change >>"$repo/dist/README.txt"
refused "a dirty tree" "uncommitted changes"
[ ! -e "$work/out" ] || fail "a dirty tree left an output folder"

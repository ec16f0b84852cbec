# registry_state PREFIX: every key and value under Software of the machine
# (both views: the 32-bit one is its Wow6432Node) and of the user, as the
# wineserver of PREFIX saves them once every process has ended. One sorted line
# each, "[machine:KEY]" or "[machine:KEY] VALUE" ("user" for the user's), in the
# saved files' own spelling. Reading the saved files takes a second, where
# walking the keys through the registry API took minutes in an emulated guest.
# A snapshot that cannot be taken fails, saying why: two empty ones would
# compare equal.
registry_state() {
  # A process left running would keep the files from being saved, for ever.
  WINEPREFIX=$1 timeout 300 wineserver -w || { echo "registry_state: Wine processes still run in $1" >&2; return 1; }
  for hive in system user; do
    [ -s "$1/$hive.reg" ] || { echo "registry_state: $1 has no saved $hive.reg" >&2; return 1; }
  done
  registry_lines=$(for hive in system:machine user:user; do
    sed -n -e '/^\[/{s/\] [0-9]*$/]/;h;p;d;}' -e '/^#/d' -e '/./{G;s/^\(.*\)\n\(.*\)$/\2 \1/;p;}' "$1/${hive%%:*}.reg" |
      grep '^\[Software\\\\' | sed "s/^\[/[${hive#*:}:/"
  done | LC_ALL=C sort)
  [ -n "$registry_lines" ] || { echo "registry_state: nothing under Software in $1" >&2; return 1; }
  printf '%s\n' "$registry_lines"
}

# sorted_changes FROM TO: the lines of the sorted file TO that FROM lacks,
# marked +, then those of FROM that TO lacks, marked -. (The guests have no diff.)
sorted_changes() {
  LC_ALL=C comm -13 "$1" "$2" | sed 's/^/+/'
  LC_ALL=C comm -23 "$1" "$2" | sed 's/^/-/'
}

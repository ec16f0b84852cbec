# Sourced by the scripts that read Debian's package lists (the host's install
# step and the guests' builder).
#
# apt_update APT-GET [OPTION...]: reads the package lists with that apt-get.
# A list that cannot be read (a mirror in the middle of a sync serves one whose
# size or hash does not match its Release file, sometimes for days) makes apt
# drop its whole suite; that is said in one line, apt keeps the suites that
# did load, and only a package that none of them holds fails later, where it
# is asked for.
apt_update() {
  apt_errors=$("$@" -qq update 2>&1 >/dev/null) && return 0
  printf '%s\n' "$apt_errors" | awk '
    /^[EW]: Failed to fetch / {
      list = $5; sub(/.*\/dists\//, "", list)
      suite = list; sub(/\/.*/, "", suite); sub(/^[^\/]*\//, "", list)
      reason = $0; sub(/^[EW]: Failed to fetch [^ ]* */, "", reason)
      printf "apt: skipped the suite %s, whose list %s could not be read (%s); going on with the suites that loaded\n", suite, list, reason
      next
    }
    /^E: / && !/Some index files failed to download/ { print "apt: " substr($0, 4) }' >&2
  return 0
}

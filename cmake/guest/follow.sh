# Sourced by the guest's scripts.
#
# follow OUTPUT SHOWN COMMAND...: runs COMMAND in the background with its
# output in the file OUTPUT (- leaves it where this script's goes), shows the
# file SHOWN as it grows, and returns the command's status once it has ended.
# Until then $followed and $printer hold the two processes; stop_followed,
# called from the caller's traps, ends them, since a process started in the
# background is reached neither by a Ctrl-C nor by a signal to this script.
followed= printer=
follow() {
  follow_output=$1 follow_shown=$2
  shift 2
  if [ "$follow_output" = - ]; then "$@" & else "$@" >"$follow_output" 2>&1 & fi
  followed=$!
  tail -n +1 -f --pid=$followed "$follow_shown" &
  printer=$!
  wait $followed
  follow_status=$?
  followed=
  wait $printer
  printer=
  return $follow_status
}
stop_followed() {
  for pid in $followed $printer; do
    kill "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
  done
  followed= printer=
}

# Sourced by the scripts that need an X server of their own (tests/app/atspi/run.sh,
# bench/atspi/session.sh). start_xvfb SECONDS LOG starts Xvfb on the first display from :142
# upward that nobody uses, under a time limit of SECONDS, its output to LOG; it sets `display`
# (":N") and adds the server's id to the caller's `pids` array. Exits with a message when no
# display could be started.

# Whether the X server on display $1 is ours: its lock file names a child of process $2 (the
# time limit that runs it), and its socket is there.
owns_display() {
  local owner
  owner=$(tr -d ' ' 2>/dev/null <"/tmp/.X$1-lock") || return 1
  [[ -n $owner && $(ps -o ppid= -p "$owner" | tr -d ' ') == "$2" && -S /tmp/.X11-unix/X$1 ]]
}

start_xvfb() {
  local limit=$1 log=$2 n xpid
  display=
  for n in $(seq 142 160); do
    [[ -e /tmp/.X$n-lock ]] && continue
    timeout "$limit" Xvfb ":$n" -screen 0 1024x768x24 -nolisten tcp >"$log" 2>&1 &
    xpid=$!
    for _ in $(seq 50); do
      owns_display "$n" "$xpid" && break
      kill -0 "$xpid" 2>/dev/null || break
      sleep 0.1
    done
    if owns_display "$n" "$xpid"; then
      pids+=("$xpid")
      display=:$n
      return 0
    fi
    kill "$xpid" 2>/dev/null || true
  done
  echo "no X display could be started" >&2
  [[ $log != /dev/null ]] && cat "$log" >&2
  exit 1
}

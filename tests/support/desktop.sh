# Sourced by the scripts that work the program under a private X server
# (tests/desktop/run.sh, tests/package/run.sh): a work directory that holds the
# home and XDG folders, the X server, the program started and stopped, bounded
# waits, window look-ups and clicks. Set before sourcing:
#   label    the script's name in its messages
#   program  the program to start
#   picture  where the screen is saved on a failure (optional)
# Sourcing makes $work and sets the exit trap to stop, which ends what was
# started and removes $work.

work="$(mktemp -d "${TMPDIR:-/tmp}/corvalet-$label-XXXXXX")"
# The program's remembered choices, log file and photos, and the window
# manager's own settings and caches, stay in the work directory.
export HOME="$work/home" XDG_CONFIG_HOME="$work/config" XDG_CACHE_HOME="$work/cache"
export XDG_DATA_HOME="$work/data" XDG_STATE_HOME="$work/state"
mkdir -p "$HOME" "$work/out"
xvfb_pid=""
wm_pid=""
program_pid=""
stop() {
  local pid
  for pid in "$program_pid" "$wm_pid" "$xvfb_pid"; do
    if [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null; then
      kill "$pid" 2>/dev/null || true
      # A process that ignores the request gets 10 s, then is killed.
      timeout 10 tail --pid="$pid" -f /dev/null || kill -9 "$pid" 2>/dev/null || true
    fi
  done
  rm -rf "$work"
}
trap stop EXIT
# A time-out or an interrupt also goes through the exit trap.
trap 'exit 1' TERM INT HUP

fail() {
  echo "$label: FAILED: $*" >&2
  if [ -n "${picture:-}" ] && command -v import >/dev/null && [ -n "${DISPLAY:-}" ]; then
    import -window root "$picture" 2>/dev/null &&
      echo "$label: the screen at the failure is in $picture" >&2
  fi
  if [ -s "$work/program.log" ]; then
    echo "$label: program output:" >&2
    tail -n 40 "$work/program.log" >&2
  fi
  exit 1
}

# Runs the command until it succeeds, for at most the given seconds.
wait_for() {
  local what="$1" seconds="$2"
  shift 2
  local deadline=$((SECONDS + seconds))
  until "$@" >/dev/null 2>&1; do
    [ "$SECONDS" -lt "$deadline" ] || fail "no $what within $seconds s"
    sleep 0.2
  done
}

# A private X server on a free display, 1600 x 1000; exports DISPLAY.
start_xvfb() {
  # The server writes the display's number to fd 3.
  Xvfb -displayfd 3 -screen 0 1600x1000x24 -nolisten tcp 3>"$work/display" 2>"$work/xvfb.log" &
  xvfb_pid=$!
  wait_for "X server" 60 test -s "$work/display"
  DISPLAY=":$(head -n 1 "$work/display")"
  export DISPLAY
}

# Starts the program in $work/out with the simulated camera's settings of the tests.
start_program() {
  (
    cd "$work/out"
    CORVALET_SIM="cameras=1,seed=17" QT_QPA_PLATFORM=xcb LC_ALL=C.UTF-8 exec "$program" "$@"
  ) >>"$work/program.log" 2>&1 &
  program_pid=$!
}
stop_program() {
  kill "$program_pid" 2>/dev/null || true
  timeout 10 tail --pid="$program_pid" -f /dev/null || kill -9 "$program_pid" 2>/dev/null || true
  program_pid=""
}

# Without a window manager: a window by its title, and the server's own stacking.
x_id() { xwininfo -name "$1" 2>/dev/null | awk '/Window id:/ {print $4}'; }
x_shown() { xwininfo -name "$1" 2>/dev/null | grep -q 'IsViewable'; }
x_above() {
  local order
  order="$(xwininfo -root -children | sed -n 's/^ *0x[0-9a-f]* "\(.*\)": (.*/\1/p')"
  [ "$(grep -nxF "$1" <<<"$order" | cut -d: -f1)" -lt "$(grep -nxF "$2" <<<"$order" | cut -d: -f1)" ]
}

# Clicks at client coordinates (X, Y) of window $1.
click() {
  local origin ox oy
  origin="$(xwininfo -id "$1" | awk '/Absolute upper-left X/ {x=$NF} /Absolute upper-left Y/ {y=$NF} END {print x, y}')"
  read -r ox oy <<<"$origin"
  timeout 10 xdotool mousemove --sync $((ox + $2)) $((oy + $3)) click 1
  sleep 0.3
}

# Client coordinates of a main window button's middle: its group box's corner
# plus the button's middle.
main_button() {
  case "$1" in
    Inicializace) echo $((1 + 10 + 35)) $((352 + 16 + 12)) ;;
    Nastavení) echo $((1 + 58 + 11)) $((352 + 48 + 12)) ;;
    Zobrazit) echo $((96 + 10 + 35)) $((352 + 16 + 12)) ;;
    Definovat) echo $((96 + 10 + 35)) $((352 + 48 + 12)) ;;
    Adresář) echo $((264 + 10 + 23)) $((352 + 16 + 12)) ;;
    Zaměřit) echo $((264 + 58 + 27)) $((352 + 16 + 12)) ;;
    Snímání) echo $((264 + 58 + 27)) $((352 + 48 + 12)) ;;
    Konec) echo $((8 + 188)) $((440 + 12)) ;;
    *) fail "no main window button \"$1\" known" ;;
  esac
}

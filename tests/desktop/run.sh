#!/usr/bin/env bash
# Works the program as an operator does, under a real window manager (openbox
# in a private Xvfb): the settings dialogs come up above the stay-on-top main
# window, take a raster typed into their fields, end by their close boxes with
# the cancel result, and a whole scan started by clicks photographs that raster,
# read back to every point. Also checks the frames the window manager offers.
#   tests/desktop/run.sh [BUILD_DIR [PROGRAM_OPTION...]]
# Needs Xvfb, openbox, wmctrl, xdotool and xprop/xwininfo (x11-utils). Every
# wait is bounded; the script stops what it started.
set -euo pipefail
cd "$(dirname "$0")/../.."
build="$(realpath "${1:-build}")"
shift || true
program="$build/app/corvaletscan"
decoder="$build/tests/desktop/desktop_decode_scan"
for file in "$program" "$decoder"; do
  if [ ! -x "$file" ]; then
    echo "desktop: $file is not built" >&2
    exit 1
  fi
done

label=desktop
picture="$build/desktop-failure.png"
source tests/support/desktop.sh

# The id (decimal) of the managed window titled exactly $1; nothing if none.
window_id() {
  wmctrl -l | while read -r id _desktop _host title; do
    if [ "$title" = "$1" ]; then
      echo $((id))
      break
    fi
  done
}
window_shown() { [ -n "$(window_id "$1")" ]; }
window_gone() { [ -z "$(window_id "$1")" ]; }

# Managed windows from bottom to top, as decimal ids.
stacking() {
  xprop -root _NET_CLIENT_LIST_STACKING | sed 's/^[^#]*#//; s/,/ /g' |
    while read -r -a ids; do for id in "${ids[@]}"; do echo $((id)); done; done
}
stacking_titles() {
  local id
  for id in $(stacking); do
    xprop -id "$id" _NET_WM_NAME | sed 's/^[^"]*"//; s/"$//'
  done | paste -sd '|' | sed 's/|/ < /g'
}
# Succeeds when window $1 lies above window $2.
above() {
  local position=0 id upper=-1 lower=-1
  for id in $(stacking); do
    [ "$id" = "$1" ] && upper=$position
    [ "$id" = "$2" ] && lower=$position
    position=$((position + 1))
  done
  [ "$upper" -ge 0 ] && [ "$lower" -ge 0 ] && [ "$upper" -gt "$lower" ]
}

allowed_actions() { xprop -id "$1" _NET_WM_ALLOWED_ACTIONS; }
# The frame of window $1 offers a close box and neither maximise nor resize;
# with $2 = yes it must also offer minimise.
check_frame() {
  local title="$1" minimise="$2" id actions
  id="$(window_id "$title")"
  actions="$(allowed_actions "$id")"
  case "$actions" in
    *MAXIMIZE*) fail "the window manager offers to maximise \"$title\": $actions" ;;
    *ACTION_RESIZE*) fail "the window manager offers to resize \"$title\": $actions" ;;
    *ACTION_CLOSE*) ;;
    *) fail "\"$title\" has no close box: $actions" ;;
  esac
  if [ "$minimise" = yes ] && [[ "$actions" != *MINIMIZE* ]]; then
    fail "\"$title\" has no minimise box: $actions"
  fi
}

# Replaces the text of the edit field at client coordinates (X, Y) of window $1.
type_into() {
  click "$1" "$2" "$3"
  xdotool key --clearmodifiers ctrl+a
  xdotool type --delay 40 "$4"
}

# The dialog $1 comes up above the main window and every other window of the
# program, transient for the main window.
check_dialog_on_top() {
  local title="$1" id main projection
  wait_for "\"$title\" on screen" 30 window_shown "$title"
  id="$(window_id "$title")"
  main="$(window_id CorvaletScan)"
  projection="$(window_id Velkar)"
  echo "desktop: stacking with \"$title\" open, bottom to top: $(stacking_titles)"
  wait_for "\"$title\" above the main window" 10 above "$id" "$main"
  if [ -n "$projection" ]; then above "$id" "$projection" || fail "\"$title\" is below Velkar"; fi
  [ "$(xprop -id "$id" WM_TRANSIENT_FOR | sed 's/.*# //')" = "$(printf '0x%x' "$main")" ] ||
    fail "\"$title\" is not transient for the main window: $(xprop -id "$id" WM_TRANSIENT_FOR)"
  check_frame "$title" no
}

start=$SECONDS
start_xvfb
# The output folder remembered from an earlier run; the directory dialog opens at it.
mkdir -p "$work/out/photos" "$XDG_CONFIG_HOME/corvaletscan"
printf '[General]\nOutputDirectory=%s/\n' "$work/out" >"$XDG_CONFIG_HOME/corvaletscan/corvaletscan.conf"
start_program "$@"
wait_for "main window without a window manager" 60 x_shown CorvaletScan
bare_main="$(x_id CorvaletScan)"
click "$bare_main" $(main_button Zobrazit)
wait_for "projection window without a window manager" 30 x_shown Velkar
x_above CorvaletScan Velkar || fail "without a window manager the projection window covers the main window"
click "$bare_main" $(main_button Definovat)
wait_for "\"Nastavení rastru bodů\" without a window manager" 30 x_shown "Nastavení rastru bodů"
x_above "Nastavení rastru bodů" CorvaletScan ||
  fail "without a window manager \"Nastavení rastru bodů\" is below the main window"
echo "desktop: without a window manager, top first: $(xwininfo -root -children | sed -n 's/^ *0x[0-9a-f]* "\(.*\)": (".*/\1/p' | paste -sd '|' | sed 's/|/ > /g')"
stop_program

openbox --sm-disable >"$work/openbox.log" 2>&1 &
wm_pid=$!
wm_running() { xprop -root _NET_SUPPORTING_WM_CHECK | grep -q 'window id'; }
wait_for "window manager" 60 wm_running

start_program "$@"
wait_for "main window" 60 window_shown CorvaletScan
main="$(window_id CorvaletScan)"
check_frame CorvaletScan yes
xprop -id "$main" _NET_WM_STATE | grep -q _NET_WM_STATE_ABOVE || fail "the main window is not kept on top"

click "$main" $(main_button Zobrazit)
wait_for "projection window" 30 window_shown Velkar
projection="$(window_id Velkar)"
check_frame Velkar no
wait_for "main window above the projection window" 10 above "$main" "$projection"
# Activating the projection window leaves the main window on top of it.
timeout 10 xdotool windowactivate --sync "$projection" 2>/dev/null || true
sleep 0.5
above "$main" "$projection" || fail "the activated projection window covers the main window"

click "$main" $(main_button Definovat)
check_dialog_on_top "Nastavení rastru bodů"
pointdef="$(window_id "Nastavení rastru bodů")"
# Offset x, offset y, rows, columns, size, spacing: fits the 1016 x 734 picture.
raster=(30 25 40 60 4 14)
tops=(16 40 72 96 128 152)
for i in 0 1 2 3 4 5; do
  type_into "$pointdef" $((8 + 128 + 52)) $((8 + ${tops[$i]} + 10)) "${raster[$i]}"
done
click "$pointdef" $((8 + 60)) $((504 + 16))          # "Použít"
wmctrl -i -c "$pointdef"
wait_for "\"Nastavení rastru bodů\" closed by its close box" 30 window_gone "Nastavení rastru bodů"

# "Použít" after opening "photos": the scan goes there.
click "$main" $(main_button Adresář)
check_dialog_on_top "Výběr adresáře"
directory="$(window_id "Výběr adresáře")"
# The list's last line is the only subdirectory; Enter opens the selected line.
click "$directory" 100 $((40 + 8))
xdotool key End Return
sleep 0.5
click "$directory" $((150 + 66)) $((248 + 12))       # "Použít"
wait_for "\"Výběr adresáře\" ended by \"Použít\"" 30 window_gone "Výběr adresáře"

# A directory that cannot take photos: the error box comes up above the
# dialog, transient for it and under its title; Enter closes it and the
# dialog is still there to choose again.
click "$main" $(main_button Adresář)
check_dialog_on_top "Výběr adresáře"
directory="$(window_id "Výběr adresáře")"
click "$directory" 100 $((40 + 8))
xdotool key Home Return
sleep 0.5
xdotool type --delay 40 proc
xdotool key Return
sleep 0.5
click "$directory" $((150 + 66)) $((248 + 12))       # "Použít"
# The managed window transient for the dialog.
box_of() {
  local id
  for id in $(stacking); do
    if [ "$(xprop -id "$id" WM_TRANSIENT_FOR 2>/dev/null | sed 's/.*# //')" = "$(printf '0x%x' "$1")" ]; then
      echo "$id"
      return 0
    fi
  done
  return 1
}
wait_for "error box transient for \"Výběr adresáře\"" 30 box_of "$directory"
box="$(box_of "$directory")"
echo "desktop: stacking with the error box open, bottom to top: $(stacking_titles)"
above "$box" "$directory" || fail "the error box is below \"Výběr adresáře\""
above "$box" "$main" || fail "the error box is below the main window"
[ "$(xprop -id "$box" _NET_WM_NAME | sed 's/^[^"]*"//; s/"$//')" = "Výběr adresáře" ] ||
  fail "the error box is not titled \"Výběr adresáře\": $(xprop -id "$box" _NET_WM_NAME)"
xdotool windowactivate --sync "$box" key Return
wait_for "error box closed" 30 bash -c "! xprop -id $box _NET_WM_NAME >/dev/null 2>&1 || ! wmctrl -l | grep -qi \"^$(printf '0x%08x' "$box")\""
window_shown "Výběr adresáře" || fail "\"Výběr adresáře\" went with its error box"
wmctrl -i -c "$directory"
wait_for "\"Výběr adresáře\" closed by its close box" 30 window_gone "Výběr adresáře"

# Opening the parent directory, then the close box: the directory stays "photos".
click "$main" $(main_button Adresář)
check_dialog_on_top "Výběr adresáře"
directory="$(window_id "Výběr adresáře")"
click "$directory" 100 $((40 + 8))
xdotool key End Up Return
sleep 0.5
wmctrl -i -c "$directory"
wait_for "\"Výběr adresáře\" closed by its close box" 30 window_gone "Výběr adresáře"

click "$main" $(main_button Inicializace)
# The camera settings dialog: a fixed frame like the others; Escape closes it.
click "$main" $(main_button Nastavení)
check_dialog_on_top "Nastavení kamery"
xdotool windowactivate --sync "$(window_id "Nastavení kamery")" key Escape
wait_for "\"Nastavení kamery\" closed by Escape" 30 window_gone "Nastavení kamery"
click "$main" $(main_button Snímání)
wait_for "main window hidden by the scan" 30 window_gone CorvaletScan
wait_for "end of the scan (the main window back)" 240 window_shown CorvaletScan
main="$(window_id CorvaletScan)"
wait_for "main window back above the projection window" 10 above "$main" "$projection"
[ -f "$work/out/photos/corvalet.sbf" ] || fail "no index file in the directory chosen with \"Použít\""
if compgen -G "$work/out/*.JPG" >/dev/null || [ -e "$work/out/corvalet.sbf" ]; then
  fail "the scan went to the directory left by the close box"
fi
"$decoder" "$work/out/photos" "${raster[@]}" || fail "the photographs do not spell out the typed raster"

# Aiming: its window comes up above the main window, which is back beside it;
# the two photos join the folder and the scan's index stays as it was.
index="$(cat "$work/out/photos/corvalet.sbf")"
click "$main" $(main_button Zaměřit)
wait_for "aim window" 60 window_shown "Zaměření"
wait_for "main window back after aiming" 30 window_shown CorvaletScan
main="$(window_id CorvaletScan)"
aim="$(window_id "Zaměření")"
above "$aim" "$main" || fail "the aim window is below the main window: $(stacking_titles)"
check_frame "Zaměření" no
[ "$(cat "$work/out/photos/corvalet.sbf")" = "$index" ] || fail "aiming changed the scan's index"
photos="$(compgen -G "$work/out/photos/*.JPG" | wc -l)"
[ "$photos" -eq 19 ] || fail "$photos photos after a scan and aiming, not 19"
wmctrl -i -c "$aim"
wait_for "aim window closed by its close box" 30 window_gone "Zaměření"

# The projection window's close box only hides it.
wmctrl -i -c "$(window_id Velkar)"
wait_for "Velkar hidden by its close box" 30 window_gone Velkar
sleep 0.5
kill -0 "$program_pid" 2>/dev/null || fail "the projection window's close box ended the program"
window_shown CorvaletScan || fail "the projection window's close box took the main window with it"

# The main window's close box ends the program.
wmctrl -i -c "$(window_id CorvaletScan)"
wait_for "program end after the main window's close box" 30 bash -c "! kill -0 $program_pid"
status=0
wait "$program_pid" || status=$?
program_pid=""
[ "$status" -eq 0 ] || fail "the program ended with status $status"
echo "desktop: passed in $((SECONDS - start)) s"

#!/usr/bin/env bash
# Makes the Debian package from a release build, installs it with apt and
# checks the installed station from outside the source tree: the programs
# answer, the menu entry is valid, each manual page renders without a warning,
# a scan clicked headless with the simulated camera lands in the user's
# pictures folder and the installed check reads every point of it. Removes the
# package at the end, also when a check fails.
#   tests/package/run.sh [BUILD_DIR]
# Needs apt (as root or through sudo), dpkg-dev, desktop-file-utils, man-db,
# Xvfb, xdotool and xwininfo (x11-utils).
set -euo pipefail
cd "$(dirname "$0")/../.."
build="$(realpath "${1:-build}")"
sources="$PWD"
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
# What the package may hold: the four programs and their desktop files, nothing else.
files=(
  ./usr/bin/corvalet-calibrate
  ./usr/bin/corvalet-check
  ./usr/bin/corvalet-ptpip-camera
  ./usr/bin/corvaletscan
  ./usr/share/applications/corvaletscan.desktop
  ./usr/share/icons/hicolor/scalable/apps/corvaletscan.svg
  ./usr/share/man/man1/corvalet-calibrate.1.gz
  ./usr/share/man/man1/corvalet-check.1.gz
  ./usr/share/man/man1/corvalet-ptpip-camera.1.gz
  ./usr/share/man/man1/corvaletscan.1.gz
)

label=package
program=/usr/bin/corvaletscan
picture="$build/package-failure.png"
source tests/support/desktop.sh
start=$SECONDS

rm -f "$build"/corvaletscan_*.deb
(cd "$build" && cpack -G DEB) >"$work/cpack.log" 2>&1 || { cat "$work/cpack.log" >&2; fail "cpack"; }
deb="$(echo "$build"/corvaletscan_*.deb)"
[ -f "$deb" ] || fail "cpack made no corvaletscan_*.deb in $build"
echo "package: $(basename "$deb"), $(dpkg-deb -f "$deb" Depends)"
contents="$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $NF}' | sort)"
[ "$contents" = "$(printf '%s\n' "${files[@]}")" ] ||
  fail "the package holds other files than the programs and their desktop files:
$(diff <(printf '%s\n' "${files[@]}") <(echo "$contents"))"

installed=""
remove_package() {
  if [ -n "$installed" ]; then $SUDO apt-get remove -y -qq corvaletscan >/dev/null 2>&1 || true; fi
}
trap 'remove_package; stop' EXIT
installed=yes
$SUDO apt-get install -y -qq "$deb" >"$work/apt.log" 2>&1 || { cat "$work/apt.log" >&2; fail "apt-get install"; }

# Everything below runs the installed programs from a folder of their own.
cd "$work/out"
[ "$(command -v corvaletscan)" = "$program" ] || fail "corvaletscan is not $program"
version="$(dpkg-deb -f "$deb" Version)"
[ "$(corvaletscan --version)" = "corvaletscan $version" ] ||
  fail "corvaletscan --version says \"$(corvaletscan --version)\", the package $version"
help="$(corvalet-check --help)" || fail "corvalet-check --help"
[[ "$help" == "Usage: corvalet-check "* ]] || fail "corvalet-check --help says \"$help\""
[ "$(corvalet-calibrate --version)" = "corvalet-calibrate $version" ] ||
  fail "corvalet-calibrate --version says \"$(corvalet-calibrate --version)\""
[ "$(corvalet-ptpip-camera --version)" = "corvalet-ptpip-camera $version" ] ||
  fail "corvalet-ptpip-camera --version says \"$(corvalet-ptpip-camera --version)\""
for binary in /usr/bin/corvaletscan /usr/bin/corvalet-check /usr/bin/corvalet-calibrate \
  /usr/bin/corvalet-ptpip-camera; do
  if grep -qaF -e "$sources" -e "$build" "$binary"; then
    fail "$binary names the source or build folder"
  fi
done
desktop-file-validate /usr/share/applications/corvaletscan.desktop ||
  fail "desktop-file-validate corvaletscan.desktop"
for page in corvaletscan corvalet-check corvalet-calibrate corvalet-ptpip-camera; do
  for locale in C.UTF-8 C; do
    if ! warnings="$(LC_ALL=$locale MANWIDTH=80 man --warnings -l \
      "/usr/share/man/man1/$page.1.gz" 2>&1 >/dev/null)" || [ -n "$warnings" ]; then
      fail "man $page in the $locale locale: $warnings"
    fi
  done
done

# A whole scan with the simulated camera, clicked as an operator does.
start_xvfb
start_program --camera sim
wait_for "main window" 60 x_shown CorvaletScan
main="$(x_id CorvaletScan)"
log_has() { grep -qF "$1" "$XDG_STATE_HOME"/corvaletscan/corvaletscan-*.log; }
click "$main" $(main_button Inicializace)
wait_for "camera connected" 30 log_has "Kamera Simulated camera připojena"
click "$main" $(main_button Snímání)
# The station's own check of the scan ends it in the log.
wait_for "end of the scan" 120 log_has "Kontrola: "
wait_for "main window back" 30 x_shown CorvaletScan
click "$(x_id CorvaletScan)" $(main_button Konec)
wait_for "program end after \"Konec\"" 30 bash -c "! kill -0 $program_pid"
status=0
wait "$program_pid" || status=$?
program_pid=""
[ "$status" -eq 0 ] || fail "corvaletscan ended with status $status"

# An installed station starts in the user's pictures folder, not beside itself.
pictures="$HOME/Pictures"
[ -f "$pictures/corvalet.sbf" ] || fail "no corvalet.sbf in $pictures"
if compgen -G "/usr/bin/*.JPG" >/dev/null || [ -e /usr/bin/corvalet.sbf ]; then
  fail "the scan went into /usr/bin"
fi
check_status=0
corvalet-check "$pictures" >"$work/check.txt" 2>&1 || check_status=$?
[ "$check_status" -eq 0 ] || fail "corvalet-check $pictures: status $check_status: $(cat "$work/check.txt")"
echo "package: corvalet-check: $(cat "$work/check.txt")"

installed=""
$SUDO apt-get remove -y -qq corvaletscan >"$work/apt.log" 2>&1 || { cat "$work/apt.log" >&2; fail "apt-get remove"; }
for file in "${files[@]}"; do
  [ ! -e "${file#.}" ] || fail "${file#.} is still there after apt-get remove"
done
echo "package: passed in $((SECONDS - start)) s"

#!/usr/bin/env bash
# Runs the terminal against the local servers on a virtual 1920x1080 display
# and saves screenshots as PNG files in screenshots/ (or the folder given):
# splash, banner pop-up, every market tab, the chart page, the status bar,
# the account menu and the login dialog.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=$(realpath -m "${1:-$root/screenshots}")
cd "$root"
bash scripts/setup.sh >/dev/null
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc)" >/dev/null
mkdir -p "$out"
rm -f "$out"/*.png

display=:$((90 + RANDOM % 100))
Xvfb "$display" -screen 0 1920x1080x24 -nolisten tcp >/dev/null 2>&1 &
xvfb_pid=$!
export DISPLAY=$display
source scripts/servers.sh
cleanup() {
  [ -n "${app_pid:-}" ] && kill "$app_pid" 2>/dev/null || true
  stop_servers
  kill "$xvfb_pid" 2>/dev/null || true
}
trap cleanup EXIT
sleep 1
start_servers "$root/build"

shot() { import -window root "$out/$1.png"; echo "saved $out/$1.png"; }
click() { xdotool mousemove --sync "$1" "$2" click "${3:-1}"; }

(cd build/bin && exec ./Quorvel >"$root/build/servers/quorvel.out" 2>&1) &
app_pid=$!
sleep 1.5
shot 01-splash
window=$(xdotool search --sync --onlyvisible --name "Brisvane" | head -n 1)
sleep 4
shot 02-board-waipan-with-banner
# Close whatever pop-ups the start shows (banner, login prompt), then the board alone.
xdotool key --clearmodifiers Escape || true
sleep 3
shot 03-board-waipan

# The vertical category tabs on the left: custom, outer, futures, forex, stocks, digital.
names=(custom waipan futures forex stocks digital)
for i in 0 2 3 4 5; do
  click 18 $((86 + 86 * i))
  sleep 1.5
  shot "04-tab-$i-${names[$i]}"
done
click 18 $((86 + 86 * 1))
sleep 1.5

# The status bar, close up.
import -window root -crop 1920x40+0+$((1080 - 40)) "$out/05-statusbar.png" 2>/dev/null \
  || shot 05-statusbar
# Status bar of the window itself: crop from the window's geometry.
eval "$(xdotool getwindowgeometry --shell "$window")"
import -window root -crop "${WIDTH}x30+${X}+$((Y + HEIGHT - 30))" "$out/05-statusbar.png"

# Double-click the first row (CL): asks for a login when logged out.
click 400 105
sleep 0.3
xdotool click --repeat 2 --delay 80 1
sleep 2
shot 06-after-double-click
xdotool key --clearmodifiers Escape || true
sleep 1

# The account pop-up menu on the tool bar.
click 1025 18
sleep 1
shot 07-account-menu
xdotool key --clearmodifiers Escape || true
echo "screenshots in $out"

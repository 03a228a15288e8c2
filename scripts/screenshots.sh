#!/usr/bin/env bash
# Runs the terminal against the local servers on a virtual 1920x1080 display
# and saves screenshots as PNG files in screenshots/ (or the folder given):
# splash, banner pop-up, every market tab, the chart page, the status bar,
# the account menu and the login dialog; then, on a 96 DPI display, the board
# and the chart page once more.
# With a DPI and a screen size after the folder (e.g. 144 1366x768) it takes
# instead the board, the chart page and the status bar on such a display, the
# window filling the screen less a 40 px panel at the bottom.
# SCREENSHOT_DISPLAY picks the display (e.g. :155), else a random one is used;
# the cloud service takes the port of the build's QUORVEL_CLOUD_BASE_URL.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=$(realpath -m "${1:-$root/screenshots}")
shot_dpi=${2:-}
screen=${3:-1920x1080}
screen_w=${screen%x*}
screen_h=${screen#*x}
cd "$root"
bash scripts/setup.sh >/dev/null
source scripts/configure.sh
configure_build build
cmake --build build -j "$(nproc)" >/dev/null
mkdir -p "$out"
rm -f "$out"/*.png

display=${SCREENSHOT_DISPLAY:-:$((90 + RANDOM % 100))}
export DISPLAY=$display
# Extra arguments go to Xvfb, e.g. -dpi 96. Without -dpi Xvfb reports 100 DPI.
start_display() {
  Xvfb "$display" -screen 0 "${screen}x24" -nolisten tcp "$@" >/dev/null 2>&1 &
  xvfb_pid=$!
  local i
  for i in $(seq 1 50); do
    xdpyinfo >/dev/null 2>&1 && return 0
    sleep 0.1
  done
  echo "screenshots: display $display did not start" >&2
  return 1
}
stop_display() {
  kill "$xvfb_pid" 2>/dev/null || true
  wait "$xvfb_pid" 2>/dev/null || true
}
source scripts/servers.sh
cleanup() {
  [ -n "${app_pid:-}" ] && kill "$app_pid" 2>/dev/null || true
  # Before stop_servers: it waits for every child, the display among them.
  kill "$xvfb_pid" 2>/dev/null || true
  stop_servers
}
trap cleanup EXIT
if [ -n "$shot_dpi" ]; then
  start_display -dpi "$shot_dpi"
else
  start_display
fi
start_servers "$root/build"

shot() { import -window root "$out/$1.png"; echo "saved $out/$1.png"; }
click() { xdotool mousemove --sync "$1" "$2" click "${3:-1}"; }

start_app() {
  (cd build/bin && exec ./Quorvel >>"$root/build/servers/quorvel.out" 2>&1) &
  app_pid=$!
}
# The virtual display has no window manager to honour the maximised state.
maximise_window() {
  window=$(xdotool search --sync --onlyvisible --name "Brisvane" | head -n 1)
  xdotool windowmove "$window" 0 0 windowsize "$window" "${1:-1920}" "${2:-1080}"
}
# Logs in with the demo account on the login dialog's first page.
log_in() {
  local dialog
  dialog=$(timeout 10 xdotool search --sync --onlyvisible --name "^登录$" | head -n 1)
  [ -n "$dialog" ] || { echo "screenshots: no login dialog" >&2; return 1; }
  eval "$(xdotool getwindowgeometry --shell "$dialog")"
  click $((X + 296)) $((Y + 102)); xdotool key --clearmodifiers ctrl+a; xdotool type --delay 30 "$phone"
  click $((X + 296)) $((Y + 148)); xdotool key --clearmodifiers ctrl+a; xdotool type --delay 30 "$password"
  click $((X + 432)) $((Y + 196))
}

# A demo account at the cloud service, so that a login goes through.
phone=13900001234
password=demo1234
# A double click on the row at height $1 asks for the login; once logged in,
# the chart page opens and is saved as $2.
open_chart_page() {
  click 400 "$1"
  sleep 0.3
  xdotool click --repeat 2 --delay 80 1
  sleep 2
  log_in
  sleep 2
  xdotool key --clearmodifiers Return
  sleep 4
  shot "$2"
}
add_demo_account() {
  curl -s --cacert build/cloud-data/ca.pem -H "Content-Type: application/json" \
    -X POST "$(grep -E '^QUORVEL_CLOUD_BASE_URL' build/CMakeCache.txt | cut -d= -f2)/1.1/users" \
    -d "{\"username\":\"$phone\",\"password\":\"$password\",\"mobilePhoneNumber\":\"$phone\"}" >/dev/null || true
}

if [ -n "$shot_dpi" ]; then
  name="${shot_dpi}dpi-${screen}"
  : >"$root/build/servers/quorvel.out"
  start_app
  maximise_window "$screen_w" $((screen_h - 40))
  sleep 4
  xdotool key --clearmodifiers Escape || true
  sleep 1
  # The banner pop-up's close button, so that it hides no panel.
  eval "$(xdotool getwindowgeometry --shell "$window")"
  click $((X + WIDTH - 30)) $((Y + HEIGHT - 239))
  sleep 2
  shot "board-$name"
  import -window root -crop "${WIDTH}x60+${X}+$((Y + HEIGHT - 60))" "$out/statusbar-$name.png"
  echo "saved $out/statusbar-$name.png"
  add_demo_account
  # The first row (CL), a row's height lower at each scale.
  case "$shot_dpi" in 96) row_y=90 ;; 120) row_y=100 ;; 144) row_y=118 ;; *) row_y=160 ;; esac
  open_chart_page "$row_y" "chart-$name"
  echo "screenshots in $out"
  exit 0
fi

: >"$root/build/servers/quorvel.out"
start_app
sleep 1.5
shot 01-splash
maximise_window
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

# The status bar of the window, close up.
eval "$(xdotool getwindowgeometry --shell "$window")"
import -window root -crop "${WIDTH}x30+${X}+$((Y + HEIGHT - 30))" "$out/05-statusbar.png"
echo "saved $out/05-statusbar.png"

# The quote server gone for 20 s with a contract selected: the board, its
# panels and the status bar show the loss; back, they fill again by themselves.
click 1888 841
sleep 0.5
click 400 105
sleep 0.3
xdotool click --repeat 2 --delay 80 1
sleep 1
xdotool key --clearmodifiers Escape || true
sleep 2
shot 05a-selected
quote_port=$(sed -n 's/.*<Quote .*port="\([0-9]*\)".*/\1/p' build/bin/TradeConfig.xml)
kill "$QUOTE_PID" 2>/dev/null || true
wait "$QUOTE_PID" 2>/dev/null || true
sleep 20
shot 05b-outage
xdotool mousemove --sync $((X + WIDTH - 150)) $((Y + HEIGHT - 12))
sleep 2
import -window root -crop "${WIDTH}x60+${X}+$((Y + HEIGHT - 60))" "$out/05c-statusbar-outage.png"
echo "saved $out/05c-statusbar-outage.png"
setsid build/bin/quote-server --port "$quote_port" >>"$SERVERS_LOG/quote-server.out" 2>&1 &
QUOTE_PID=$!
sleep 10
shot 05d-back

add_demo_account

# Double-click the first row (CL): logged out, the login dialog asks first.
click 400 105
sleep 0.3
xdotool click --repeat 2 --delay 80 1
sleep 2
shot 06-login-dialog
dialog=$(xdotool search --onlyvisible --name "^登录$" | head -n 1)
eval "$(xdotool getwindowgeometry --shell "$dialog")"
dx=$X; dy=$Y
# The dialog's second page: registration.
click $((dx + 204)) $((dy + 196))
sleep 1
shot 06b-register-page
click $((dx + 210)) $((dy + 227))
sleep 1
log_in
sleep 2
shot 07-login-done
# Dismiss the "login succeeded" box; the chart page follows.
xdotool key --clearmodifiers Return
sleep 3
shot 08-chart-page
sleep 3
shot 08-chart-page-later

# The account pop-up menu: "账户" on the right of the tool bar.
click 1685 18
sleep 1
shot 09-account-menu
xdotool key --clearmodifiers Escape || true

# The board and the chart page again at 96 DPI, where the window keeps its
# unscaled sizes.
kill "$app_pid" 2>/dev/null || true
wait "$app_pid" 2>/dev/null || true
stop_display
start_display -dpi 96
start_app
maximise_window
sleep 4
xdotool key --clearmodifiers Escape || true
# The banner pop-up's close button, so that it hides no panel.
click 1890 841
sleep 3
shot 10-board-waipan-96dpi
eval "$(xdotool getwindowgeometry --shell "$window")"
import -window root -crop "${WIDTH}x30+${X}+$((Y + HEIGHT - 30))" "$out/10b-statusbar-96dpi.png"
echo "saved $out/10b-statusbar-96dpi.png"
# The first row (CL) at the unscaled row height.
open_chart_page 90 11-chart-page-96dpi
echo "screenshots in $out"

#!/usr/bin/env bash
# Photographs the Windows progress window under Wine on a private Xvfb screen.
# The window is driven by the test helper rr_window_demo.exe into a mid-run
# state (headline, status, detail, hint, bar partly filled); pass "error" as
# the second argument for the error colours.
#
#   tools/screenshot_window.sh [output.png] [normal|error]
#
# Needs the Windows build (cmake --preset windows && cmake --build --preset windows),
# wine, Xvfb and imagemagick's import.
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
out="${1:-$root/build/screenshots/progress_window.png}"
state="${2:-normal}"
demo="$root/build/windows/tests/e2e/rr_window_demo.exe"
if [[ ! -f "$demo" ]]; then
    echo "missing $demo: build the windows preset first" >&2
    exit 1
fi
mkdir -p "$(dirname "$out")"

Xvfb -displayfd 1 -screen 0 1280x1024x24 -nolisten tcp >"/tmp/rr_xvfb_$$.num" 2>/dev/null &
xvfb_pid=$!
demo_pid=""
cleanup() {
    [[ -n "$demo_pid" ]] && kill "$demo_pid" 2>/dev/null || true
    kill "$xvfb_pid" 2>/dev/null || true
    rm -f "/tmp/rr_xvfb_$$.num"
}
trap cleanup EXIT
for _ in $(seq 1 100); do
    [[ -s "/tmp/rr_xvfb_$$.num" ]] && break
    sleep 0.1
done
export DISPLAY=":$(head -n1 "/tmp/rr_xvfb_$$.num")"
export WINEDEBUG=-all

wine "$demo" 20000 "$state" &
demo_pid=$!
# Wait for the window to be mapped and painted (xwininfo is in x11-utils;
# without it a fixed pause has to do).
if command -v xwininfo >/dev/null; then
    window=""
    for _ in $(seq 1 150); do
        window="$(xwininfo -root -tree 2>/dev/null | awk '/"Orvella Updater"/ {print $1; exit}')"
        [[ -n "$window" ]] && break
        sleep 0.2
    done
    if [[ -z "$window" ]]; then
        echo "the progress window did not appear" >&2
        exit 1
    fi
    sleep 1.5
    # Wine centres the window in the work area of its shared desktop, which
    # need not be this screen's size, so the window is taken by itself.
    xwininfo -id "$window" | grep -E 'Absolute|Width|Height' >&2
    import -window "$window" "$out"
else
    sleep 6
    import -window root "$out"
fi
echo "saved $out"

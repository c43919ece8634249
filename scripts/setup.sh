#!/usr/bin/env bash
# setup: installs the cross toolchain, Wine and Xvfb when missing, creates the
# project's own Wine prefix and starts the Xvfb display. Quiet on a second run.
set -euo pipefail
source "$(dirname "$0")/env.sh"

need_packages=()
for pkg in cmake g++ wixl msitools g++-mingw-w64-i686 g++-mingw-w64-x86-64 wine wine32:i386 wine64 fonts-wine xvfb xauth googletest x11-utils imagemagick xdotool cppcheck; do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' || need_packages+=("$pkg")
done
if [ ${#need_packages[@]} -gt 0 ]; then
    echo "setup: installing ${need_packages[*]}"
    if ! dpkg --print-foreign-architectures | grep -qx i386; then
        dpkg --add-architecture i386
    fi
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${need_packages[@]}" >/dev/null
fi

mkdir -p "$BUILD_DIR"
if [ ! -f "$WINEPREFIX/system.reg" ]; then
    echo "setup: creating the Wine prefix $WINEPREFIX"
    # No Mono or Gecko: nothing here needs them, and their installers would ask.
    WINEDLLOVERRIDES="mscoree,mshtml=" wineboot --init >/dev/null 2>&1 || true
    wineserver -w
fi
# A persistent wineserver, with Wine's system processes started once and detached
# from any caller's output, keeps later process starts fast.
wineserver -p >/dev/null 2>&1 || true
kvd_wine_prefix_look
wine cmd /c exit </dev/null >/dev/null 2>&1 || true

display_num=${DISPLAY#:}
lock=/tmp/.X${display_num}-lock
if ! xdpyinfo -display "$DISPLAY" >/dev/null 2>&1; then
    # A lock whose server still runs is a busy server, not a stale one: leave it.
    if [ -f "$lock" ] && kill -0 "$(tr -d ' ' <"$lock")" 2>/dev/null; then
        echo "setup: the X server of $DISPLAY runs but does not answer yet"
    else
        echo "setup: starting Xvfb on $DISPLAY"
        rm -f "$lock" "/tmp/.X11-unix/X${display_num}"
        nohup Xvfb "$DISPLAY" -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
    fi
    for _ in $(seq 50); do xdpyinfo -display "$DISPLAY" >/dev/null 2>&1 && break; sleep 0.1; done
fi

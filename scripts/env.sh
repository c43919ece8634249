# env.sh: the paths and variables every script shares (sourced, not run).
KVD_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
export KVD_ROOT
export BUILD_DIR=${BUILD_DIR:-$KVD_ROOT/build}
export WINEDEBUG=${WINEDEBUG:--all}
export DISPLAY=${DISPLAY:-:${KVD_DISPLAY_NUM:-77}}
export PRODUCT_BUILD=$BUILD_DIR/product

# The shipped binaries are 32-bit and are tested with 32-bit Wine. A machine
# whose kernel runs no 32-bit code (its 32-bit emulation is off) cannot start
# 32-bit Wine at all: there the same sources are also built for x86_64 and the
# tests run those under 64-bit Wine, while the shipped 32-bit binaries are
# still built and checked. KVD_WINE_ARCH=win32 or win64 overrides the probe.
if [ -z "${KVD_WINE_ARCH:-}" ]; then
    if [ ! -x /usr/lib/wine/wine ] || /usr/lib/wine/wine --version >/dev/null 2>&1; then
        KVD_WINE_ARCH=win32
    else
        KVD_WINE_ARCH=win64
    fi
fi
export KVD_WINE_ARCH
export WINEARCH=$KVD_WINE_ARCH
if [ "$KVD_WINE_ARCH" = win64 ]; then
    export WINEPREFIX=${WINEPREFIX:-$BUILD_DIR/wineprefix64}
    export RUN_PRODUCT_BUILD=$BUILD_DIR/product64
    export TESTS_BUILD=$BUILD_DIR/tests64
    export WINELOADER=/usr/lib/wine/wine64
    # Debian's wine and its program wrappers pick the 32-bit loader when it is installed.
    wine_shims=$BUILD_DIR/wine64-shims
    if [ ! -x "$wine_shims/wine-stable" ]; then
        mkdir -p "$wine_shims"
        printf '#!/bin/sh\nexec /usr/lib/wine/wine64 "$@"\n' >"$wine_shims/wine"
        chmod +x "$wine_shims/wine"
        cp "$wine_shims/wine" "$wine_shims/wine-stable"
    fi
    case ":$PATH:" in *":$wine_shims:"*) ;; *) export PATH=$wine_shims:$PATH ;; esac
else
    export WINEPREFIX=${WINEPREFIX:-$BUILD_DIR/wineprefix}
    export RUN_PRODUCT_BUILD=$PRODUCT_BUILD
    export TESTS_BUILD=$BUILD_DIR/tests
fi

# What the windows of a prefix the scripts make look like, as on Windows:
# - Wine's own fonts (Marlett draws the caption buttons, Tahoma is the dialog
#   font) lie in its data folder, which Debian's Wine 8 names through its
#   loader as /usr/lib/wine/../../share/wine: its font loader turns that into
#   a Windows path with ".." in it and finds nothing there, so a caption's close
#   box shows as the letter "r". The prefix gets them in its Windows Fonts
#   folder, where Wine loads them as Windows does.
# - Xvfb runs no window manager: Wine draws the frames and captions itself
#   (otherwise a top-level window has none), and hiding a window does not wait
#   for a manager that never answers.
# Idempotent; the prefix exists and no wineserver needs to stop.
kvd_wine_prefix_look() {
    local fonts=$WINEPREFIX/drive_c/windows/Fonts font
    if [ -d "$fonts" ]; then
        for font in /usr/share/wine/fonts/*; do
            [ -f "$font" ] && [ ! -e "$fonts/${font##*/}" ] && cp "$font" "$fonts/"
        done
    fi
    if ! grep -q '"Managed"="N"' "$WINEPREFIX/user.reg" 2>/dev/null; then
        wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f </dev/null >/dev/null 2>&1 || true
    fi
}

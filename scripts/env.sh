# env.sh: the paths and variables every script shares (sourced, not run).
KVD_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
export KVD_ROOT
export BUILD_DIR=${BUILD_DIR:-$KVD_ROOT/build}
export WINEPREFIX=${WINEPREFIX:-$BUILD_DIR/wineprefix}
export WINEARCH=win32
export WINEDEBUG=${WINEDEBUG:--all}
export DISPLAY=${DISPLAY:-:${KVD_DISPLAY_NUM:-77}}
export PRODUCT_BUILD=$BUILD_DIR/product
export TESTS_BUILD=$BUILD_DIR/tests

#!/usr/bin/env bash
# check_release: packs the product build with cpack into WORK and checks that
# the five binaries of the release ZIP, and those the tests run, carry no
# .debug_* section, and that the symbols ZIP beside it holds their debug files
# with those sections, each named by its binary's .gnu_debuglink with the
# same CRC. Usage: check_release.sh PRODUCT_BUILD BINUTILS_PREFIX WORK
set -u
product=$1 binutils=$2 work=$3
rm -rf "$work" && mkdir -p "$work/release" "$work/symbols"
cpack --config "$product/CPackConfig.cmake" -B "$work" >/dev/null || { echo "check_release: cpack failed"; exit 1; }
(cd "$work/release" && cmake -E tar xf "$work"/KVDNotification-*-win??.zip)
(cd "$work/symbols" && cmake -E tar xf "$work"/KVDNotification-*-symbols.zip)
failures=0
fail() { echo "check_release: $*"; failures=$((failures + 1)); }
crc() { gzip -c "$1" | tail -c 8 | head -c 4 | od -An -tx4; }   # the gzip trailer holds the CRC-32
for file in KVDNotification.msi install.cmd uninstall.cmd KVDNotification.adm; do
    [ -f "$work/release/$file" ] || fail "$file missing from the release ZIP"
done
for binary in KVDnotificationLibrary.dll popctl.exe donemsg.exe ntfcfg.exe jobupcall.exe; do
    debug=$work/symbols/$binary.debug
    "$binutils-objdump" -h "$debug" | grep -q ' \.debug_info ' || fail "$binary.debug holds no .debug_info"
    for shipped in "$work/release/$binary" "$product/bin/$binary"; do
        ! "$binutils-objdump" -h "$shipped" | grep -q ' \.debug_' || fail "$shipped carries debug sections"
        "$binutils-objcopy" --dump-section .gnu_debuglink="$work/link" "$shipped" "$work/copy" || fail "$shipped: no link"
        [ "$(tr '\0' '\n' <"$work/link" | head -1)" = "$binary.debug" ] || fail "$shipped links another file"
        [ "$(tail -c 4 "$work/link" | od -An -tx4)" = "$(crc "$debug")" ] || fail "$shipped: the CRC differs"
    done
done
echo "check_release: 5 binaries checked, $failures failures"
[ $failures -eq 0 ]

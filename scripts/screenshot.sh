#!/usr/bin/env bash
# screenshot: saves the Xvfb display, or one rectangle of it, as a PNG (tests
# start it to keep a picture of each message box they open).
# Usage: screenshot.sh OUTPUT.png [WIDTHxHEIGHT+X+Y]
set -euo pipefail
source "$(dirname "$0")/env.sh"
output=$1
crop=${2:-}
mkdir -p "$(dirname "$output")"
# Written under another name first: the file appears only once it is whole
# (Wine starts this script without a handle to wait on).
partial="$output.partial.png"
if [ -n "$crop" ]; then
    import -display "$DISPLAY" -window root -crop "$crop" +repage "$partial"
else
    import -display "$DISPLAY" -window root "$partial"
fi
mv -f "$partial" "$output"
echo "screenshot: $output"

#!/bin/sh
# screenshot: captures the whole X display of the tests as a PNG file.
# Usage: screenshot.sh FILE.png   (DISPLAY names the Xvfb display)
set -e
import -display "${DISPLAY:?}" -window root "$1"
echo "screenshot: $1"

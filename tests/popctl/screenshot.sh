#!/bin/sh
# screenshot: captures the whole X display of the tests as a PNG file.
# Usage: screenshot.sh DISPLAY FILE.png
# The file appears complete or not at all (written aside, then renamed).
set -e
import -display "$1" -window root "$2.part.png"
mv "$2.part.png" "$2"
echo "screenshot: $2"

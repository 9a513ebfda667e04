#!/bin/sh
# Runs ser_wine_test.exe under wine against a pseudo-terminal mapped to a COM
# port of the test prefix, with the device end played by ser_wine_device.py.
# Usage: ser_wine.sh PROGRAM PORT [gtest flags]   (e.g. ... ser_wine_test.exe com12)
# The prefix is $ZEL_WINEPREFIX, else build/windows/wineprefix under the source.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
export ZEL_WINEPREFIX="${ZEL_WINEPREFIX:-$root/build/windows/wineprefix}"
exec python3 "$here/ser_wine_device.py" "$root/cmake/wine-run" "$@"

#!/bin/sh
# Runs ser_wine_test.exe under wine against a pseudo-terminal mapped to a COM
# port of the test prefix, with the device end played by ser_wine_device.py.
# Usage: ser_wine.sh PROGRAM PORT [gtest flags]   (e.g. ... ser_wine_test.exe com12)
# The prefix is $ZEL_WINEPREFIX, which the build sets to the wine prefix of
# its own tree (as it does for every test it runs under wine).
set -eu
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)  # the top of the source tree
: "${ZEL_WINEPREFIX:?set ZEL_WINEPREFIX to the wine prefix of the build tree}"
export ZEL_WINEPREFIX
exec python3 "$here/ser_wine_device.py" "$root/cmake/wine-run" "$@"

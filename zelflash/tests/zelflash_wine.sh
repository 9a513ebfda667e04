#!/bin/sh
# zelflash.exe under wine programs its embedded image into a zelsim device on
# a pseudo-terminal mapped to COM9 of the build tree's wine prefix; the run
# passes when zelflash.exe exits with 0 and the device's flash holds the image.
# Usage: zelflash_wine.sh ZELFLASH_EXE ZELSIM IMAGE WORK_DIR
# The prefix is $ZEL_WINEPREFIX, which the build sets to the wine prefix of
# its own tree (as it does for every test it runs under wine). COM9 is this
# test's own: the serial tests use COM5 and COM12 of the same prefix.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)  # the top of the source tree
: "${ZEL_WINEPREFIX:?set ZEL_WINEPREFIX to the wine prefix of the build tree}"
export ZEL_WINEPREFIX
exe=$1 sim=$2 image=$3 work=$4
link="$ZEL_WINEPREFIX/dosdevices/com9"
mkdir -p "$work"
rm -f "$work/report.json"

# The prefix is made before the COM link goes in: a first boot leaves out
# drive C in a prefix whose dosdevices folder is already there.
if ! timeout -k 10 400 "$root/cmake/wine-run" cmd /c exit >/dev/null; then
    echo "zelflash_wine: the wine prefix $ZEL_WINEPREFIX is not usable" >&2
    exit 1
fi

# Wine gives the machine's own serial devices the first free COM names of
# the prefix (com1 for /dev/ttyS0, and so on), so com9 may lead to a real
# port, and a link left by an earlier run to a pty someone else now holds:
# it goes first, and zelflash.exe only starts once com9 leads to zelsim's
# pty.
rm -f "$link"
# The device outlives a failed run only until it is stopped below; its time
# limit covers a first boot of the prefix.
"$sim" --link "$link" --baud 921600 --image "$image" --exit-after-reset-ms 300 \
    --time-limit-s 400 --report "$work/report.json" >"$work/zelsim.out" &
sim_pid=$!
trap 'kill "$sim_pid" 2>/dev/null || true' EXIT
waited=0
until case $(readlink "$link" 2>/dev/null) in /dev/pts/*) true ;; *) false ;; esac; do
    waited=$((waited + 1))
    if [ "$waited" -gt 100 ]; then
        echo "zelflash_wine: zelsim did not make $link" >&2
        exit 1
    fi
    sleep 0.1
done

status=0
timeout -k 10 400 "$root/cmake/wine-run" "$exe" write -p COM9 || status=$?
# Programmed or not, the device is done: it writes its report on SIGTERM.
kill -TERM "$sim_pid" 2>/dev/null || true
wait "$sim_pid" || true
trap - EXIT
if [ "$status" -ne 0 ]; then
    echo "zelflash_wine: zelflash.exe exited with $status" >&2
    exit 1
fi
if ! grep -q '"image_match": true' "$work/report.json"; then
    echo "zelflash_wine: the device's flash does not hold the image (see $work/report.json)" >&2
    exit 1
fi

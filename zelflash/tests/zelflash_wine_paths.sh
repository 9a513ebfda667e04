#!/bin/sh
# zelflash.exe under wine takes a word that starts with "/" or "\\" for a
# path, never for an option: a board log read by "report" and an image read
# by "write" are given as a path from the root of the drive (/work/...: the
# test runs on wine's drive Z:, which is /, so that is the Unix path), as
# \\zelserver\logs\... and //zelserver/logs/... (the prefix's
# dosdevices/unc/zelserver/logs is a link to the scratch folder). The image
# is a HEX file with a bad digit on its first line, refused by its name
# before any port is opened.
# Usage: zelflash_wine_paths.sh ZELFLASH_EXE WORK_DIR
# The prefix is $ZEL_WINEPREFIX, as for every test the build runs under wine.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)  # the top of the source tree
: "${ZEL_WINEPREFIX:?set ZEL_WINEPREFIX to the wine prefix of the build tree}"
export ZEL_WINEPREFIX
exe=$1 work=$2
rm -rf "$work"
mkdir -p "$work"
work=$(cd "$work" && pwd)
cd "$work"
printf '%s\n' '{"start":"2026-03-02T08:00:00.000Z","port":"COM7","image":"fw.hex","image_sha256":"ab12",'`
    `'"file_sha256":null,"seconds":10.5,"outcome":"programmed","retries":0,"serial":"A1","link":{"frames":100,'`
    `'"resends":3,"late_replies":0,"bad_frames":0,"quiet_waits":0,"quiet_ms":0,"unasked_acks":0}}' >boards.log
printf ':0X\n' >bad.hex

if ! timeout -k 10 400 "$root/cmake/wine-run" cmd /c exit >/dev/null; then
    echo "zelflash_wine_paths: the wine prefix $ZEL_WINEPREFIX is not usable" >&2
    exit 1
fi
share="$ZEL_WINEPREFIX/dosdevices/unc/zelserver"
mkdir -p "$share"
ln -sfn "$work" "$share/logs"
trap 'rm -f "$share/logs"' EXIT

failed=0
fail() {
    printf 'FAIL %s\n' "$1" >&2
    failed=1
}
# zelflash.exe with these arguments: its status, and its output and errors
# in "out" and "err" with Windows line ends made plain.
run() {
    status=0
    timeout -k 10 120 "$root/cmake/wine-run" "$exe" "$@" >out.crlf 2>err.crlf || status=$?
    tr -d '\r' <out.crlf >out
    tr -d '\r' <err.crlf >err
}

# The report of the log named as Windows names it, from its drive letter.
windows_path="Z:$(printf '%s' "$work" | tr / '\\')\\boards.log"
run report "$windows_path"
[ "$status" -eq 0 ] || fail "report $windows_path: exit $status: $(cat err)"
tail -n +2 out >reference
grep -q '^  COM7       1       0     100        3' reference || fail "report $windows_path: no row for COM7: $(cat out)"

for form in "$work/boards.log" '\\zelserver\logs\boards.log' '//zelserver/logs/boards.log'; do
    run report "$form"
    if [ "$status" -ne 0 ]; then
        fail "report $form: exit $status: $(cat err)"
    elif [ "$(head -n 1 out)" != "Board logs: $form" ] || ! tail -n +2 out | cmp -s - reference; then
        fail "report $form: not the report of $windows_path: $(cat out)"
    fi
done

run report "$work/missing.log"
[ "$status" -eq 2 ] || fail "report of a missing log: exit $status, not 2"

for form in "$work/bad.hex" '\\zelserver\logs\bad.hex' '//zelserver/logs/bad.hex'; do
    run write -p COM99 "$form"
    wanted="zelflash: $form line 1: 'X' at column 3 is not a hex digit"
    [ "$status" -eq 2 ] || fail "write $form: exit $status, not 2"
    [ "$(cat err)" = "$wanted" ] || fail "write $form: said '$(cat err)', not '$wanted'"
done
exit "$failed"

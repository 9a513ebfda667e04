#!/usr/bin/env bash
# The release artefacts tested as a user receives them.
#
# Usage: packaging/tests/packages.sh [DIST [WORK]]
#   DIST  where scripts/release wrote them (default dist)
#   WORK  a scratch folder, emptied first (default build/packaging-test)
# Needs the native build's device simulator, build/native/sim/zelsim
# ($ZELSIM to name another).
#
# The .deb: lintian finds no error; its files are the expected ones; unpacked
# with dpkg -x into a throwaway root, its zelflash says its version and
# programs a zelsim device from there; man -l renders its man page without a
# warning; its bash, zsh and fish completions offer what zelflash takes
# (completion_test.py). The zip: exactly its four files, SHA256SUMS right,
# README.txt with CRLF, zel.exe's version record; unpacked, zelflash.exe
# --version and a zelflash.exe write to zelsim under wine, from the unpacked
# folder (zelflash/tests/zelflash_wine.sh, in a wine prefix of WORK's own).
# Every step has a time limit. Ends with "N passed, N failed".
set -uo pipefail
cd "$(dirname "$0")/../.."
root=$PWD
dist=$(cd "${1:-dist}" && pwd)
work=${2:-build/packaging-test}
zelsim=${ZELSIM:-$root/build/native/sim/zelsim}
rm -rf "$work"
mkdir -p "$work"
work=$(cd "$work" && pwd)

version=$(sed -n 's/^project(zel VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
[ -n "$version" ] || { echo "packages: no project(zel VERSION ...) line in CMakeLists.txt" >&2; exit 1; }
deb=$dist/zel_${version}_amd64.deb
zip=$dist/zel-${version}-win64.zip
passed=0 failed=0

pass() { echo "ok   $1"; passed=$((passed + 1)); }
fail() { echo "FAIL $1"; failed=$((failed + 1)); }
# check WHAT COMMAND...: one step, passed when the command succeeds.
check() {
    local what=$1
    shift
    if "$@"; then pass "$what"; else fail "$what"; fi
}

# What --version must print: "zelflash 1.1.0 (gHASH)", once zelflash's main
# takes its version from zel_version.h; until then only the name is checked.
version_pattern="^zelflash $version \\(g$(git rev-parse --short HEAD)(-dirty)?\\)\$"
if ! grep -q zel_version.h zelflash/commands/main.cpp; then
    echo "note: zelflash/commands/main.cpp does not include zel_version.h yet; --version is checked for the name only"
    version_pattern="^zelflash [0-9]"
fi

echo "== the Debian package $deb"
[ -f "$deb" ] || { echo "no $deb: run scripts/release first" >&2; exit 1; }
timeout 300 lintian --fail-on error "$deb" >"$work/lintian.txt" 2>&1
check "lintian finds no error (its warnings and notes: $work/lintian.txt)" test $? -eq 0
sed 's/^/     /' "$work/lintian.txt"

dpkg-deb -f "$deb" Depends >"$work/depends.txt"
check "Depends (from shlibdeps) names libserialport0, libssl3, libc6 and libstdc++6" \
    grep -qE 'libc6.*libserialport0.*libssl3.*libstdc\+\+6' "$work/depends.txt"
dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $6}' | sort >"$work/files.txt"
cat >"$work/files.expected" <<EOF
./usr/bin/zelflash
./usr/share/bash-completion/completions/zelflash
./usr/share/doc/zel/CHANGELOG.md
./usr/share/doc/zel/README.md
./usr/share/doc/zel/changelog.gz
./usr/share/doc/zel/copyright
./usr/share/fish/vendor_completions.d/zelflash.fish
./usr/share/man/man1/zelflash.1.gz
./usr/share/zsh/vendor-completions/_zelflash
EOF
check "the package holds exactly its nine files" diff -u "$work/files.expected" "$work/files.txt"

unpacked=$work/root
dpkg-deb -x "$deb" "$unpacked"
zelflash=$unpacked/usr/bin/zelflash
timeout 30 "$zelflash" --version >"$work/version.txt" 2>&1
check "zelflash --version prints $(cat "$work/version.txt")" grep -qE "$version_pattern" "$work/version.txt"

# The unpacked zelflash programs a simulated device.
link=$work/dev
timeout 120 "$zelsim" --link "$link" --exit-after-reset-ms 300 --time-limit-s 100 --image image/image.bin \
    --report "$work/report.json" >"$work/zelsim.out" 2>&1 &
sim=$!
for _ in $(seq 100); do [ -L "$link" ] && break; sleep 0.1; done
timeout 100 "$zelflash" write -p "$link" >"$work/write.txt" 2>&1
status=$?
[ "$status" -eq 0 ] || kill -TERM "$sim" 2>/dev/null  # the device writes its report and ends
wait "$sim"
check "the unpacked zelflash write exits 0 (its output: $work/write.txt)" test "$status" -eq 0
check "the device's flash holds the image (\"image_match\": true)" grep -q '"image_match": true' "$work/report.json"

# The man page: rendered without a warning, every section there.
man_page=$unpacked/usr/share/man/man1/zelflash.1.gz
MANWIDTH=80 timeout 60 man --warnings -l "$man_page" >"$work/man.txt" 2>"$work/man.err"
check "man -l renders the page" test -s "$work/man.txt"
check "man -l gives no warning $(head -1 "$work/man.err")" test ! -s "$work/man.err"
for heading in NAME SYNOPSIS DESCRIPTION COMMANDS OPTIONS OUTPUT "JSON EVENTS" "BOARD LOG" "EXIT STATUS" EXAMPLES; do
    check "the page has its $heading section" grep -q "^$heading\$" "$work/man.txt"
done

# The completions, from where the package put them.
timeout 600 python3 packaging/tests/completion_test.py --root "$unpacked" >"$work/completion.txt" 2>&1
check "the bash, zsh and fish completions ($(tail -1 "$work/completion.txt"))" test $? -eq 0
grep -v '^ok' "$work/completion.txt"

echo "== the Windows zip $zip"
[ -f "$zip" ] || { echo "no $zip: run scripts/release first" >&2; exit 1; }
folder=zel-${version}-win64
python3 - "$zip" "$work/win" >"$work/zip.txt" <<'EOF'
import sys, zipfile
with zipfile.ZipFile(sys.argv[1]) as z:
    print("\n".join(z.namelist()))
    z.extractall(sys.argv[2])
EOF
printf '%s\n' "$folder/README.txt" "$folder/SHA256SUMS" "$folder/zel.exe" "$folder/zelflash.exe" >"$work/zip.expected"
check "the zip holds exactly README.txt, SHA256SUMS, zel.exe and zelflash.exe, in order" \
    diff -u "$work/zip.expected" "$work/zip.txt"
unzipped=$work/win/$folder
check "SHA256SUMS in the zip is right" sh -c "cd '$unzipped' && sha256sum --quiet -c SHA256SUMS"
check "README.txt has Windows line ends, every one" python3 -c '
import sys
text = open(sys.argv[1], "rb").read()
sys.exit(0 if text.count(b"\n") == text.count(b"\r\n") > 100 else 1)' "$unzipped/README.txt"
check "zel.exe's version record says $version" python3 packaging/tests/pe_version.py "$unzipped/zel.exe" "$version"

# zelflash.exe under wine, from the unpacked folder, in a prefix of its own.
export ZEL_WINEPREFIX=$work/wineprefix
timeout -k 10 400 cmake/wine-run "$unzipped/zelflash.exe" --version 2>&1 | tr -d '\r' >"$work/exe-version.txt"
check "zelflash.exe --version under wine prints $(cat "$work/exe-version.txt")" \
    grep -qE "$version_pattern" "$work/exe-version.txt"
timeout -k 10 500 sh zelflash/tests/zelflash_wine.sh "$unzipped/zelflash.exe" "$zelsim" image/image.bin "$work/wine-write" \
    >"$work/wine-write.txt" 2>&1
check "zelflash.exe write under wine programs a zelsim device (zelflash/tests/zelflash_wine.sh)" test $? -eq 0
WINEPREFIX=$ZEL_WINEPREFIX timeout 60 wineserver -k >/dev/null 2>&1  # leave no wine server behind

echo "packages: $passed passed, $failed failed"
[ "$failed" -eq 0 ]

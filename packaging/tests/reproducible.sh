#!/usr/bin/env bash
# Two release runs gave the same bytes: compares the artefacts of DIST1 and
# DIST2 (each written by scripts/release) by SHA-256, and for any that
# differ shows which members differ, to start the search.
# Usage: packaging/tests/reproducible.sh DIST1 DIST2
set -uo pipefail
a=$1 b=$2
passed=0 failed=0
for artefact in "$a"/*.deb "$a"/*.zip "$a"/SHA256SUMS; do
    name=$(basename "$artefact")
    one=$(sha256sum <"$artefact" | cut -d' ' -f1)
    two=$(sha256sum <"$b/$name" 2>/dev/null | cut -d' ' -f1)
    if [ -n "$two" ] && [ "$one" = "$two" ]; then
        echo "ok   $name is the same in both runs: $one"
        passed=$((passed + 1))
        continue
    fi
    echo "FAIL $name differs between $a and $b (${one:0:16}... and ${two:0:16}...)"
    failed=$((failed + 1))
    case $name in
    *.deb) diff <(dpkg-deb -c "$artefact"; dpkg-deb -I "$artefact" md5sums) \
                <(dpkg-deb -c "$b/$name"; dpkg-deb -I "$b/$name" md5sums) | head -20 ;;
    *.zip) diff <(unzip -lv "$artefact" | tail -n +2) <(unzip -lv "$b/$name" | tail -n +2) | head -20 ;;
    esac
done
# Both runs made the same set of artefacts.
if diff <(cd "$a" && ls) <(cd "$b" && ls) >/dev/null; then
    passed=$((passed + 1))
else
    echo "FAIL the two runs made different files: $(cd "$a" && ls) / $(cd "$b" && ls)"
    failed=$((failed + 1))
fi
echo "reproducible: $passed passed, $failed failed"
[ "$failed" -eq 0 ] && [ "$passed" -ge 4 ]

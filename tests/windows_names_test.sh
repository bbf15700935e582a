#!/bin/sh
# restamp.exe under Wine: names outside the ANSI code page, in place and to an
# output file, with such a folder as TMP; a path longer than MAX_PATH; a name
# too long for any file system; and the lock on the input, which makes a run
# wait for whoever holds it, and Ctrl+C while it waits.
#   windows_names_test.sh RESTAMP_EXE LOCK_HELPER_EXE DATA_FOLDER
set -u
export WINEDEBUG=-all LC_ALL=C.UTF-8
exe=$1 helper=$2 png=$3/pngsuite/basn3p08.png other=$3/pngsuite/ctzn0g04.png
work=$(mktemp -d) && trap 'rm -rf "$work"' EXIT && cd "$work" || exit 1
with_phys() { # what restamp 300 makes of a PNG without pHYs
    head -c 33 "$1" && printf '\0\0\0\011pHYs\0\0\056\043\0\0\056\043\001\170\245\077\166' && tail -c +34 "$1"
}
with_phys "$png" >new.png && with_phys "$other" >other-new.png || exit 1
tmp='τμπ😀' && mkdir "$tmp" && tmp_w=$(winepath -w "$tmp" | tr -d '\r') && exe_w=$(winepath -w "$exe" | tr -d '\r')
wine_temp=$(winepath -u "$(wine cmd /c echo %TEMP% | tr -d '\r')") && mkdir -p "$wine_temp" || exit 1
rm -f "$wine_temp"/rst*.png
passed=0 failed=0

# Wine takes TMP from its registry: cmd sets it for restamp.exe.
run() { wine cmd /c "set TMP=$tmp_w&& $exe_w 300 $*" >out 2>err; status=$?; }
# check CASE STATUS STDOUT_LINE STDERR [SHELL_TEST...]: the last line of the
# redirected stdout in UTF-8 with CR LF, stderr, and no temporary file left
# (one left is deleted, not to fail later cases).
check() {
    label=$1 problems=''
    [ "$status" = "$2" ] || problems="$problems status $status;"
    [ "$(tail -n 1 out)" = "$(printf '%s\r' "$3")" ] || problems="$problems stdout $(tail -n 1 out);"
    [ "$(tr -d '\r' <err)" = "$4" ] || problems="$problems stderr $(cat err);"
    ! find "$tmp" "$wine_temp" -name 'rst*.png' | grep -q . || problems="$problems temporary file left;"
    shift 4
    for condition; do eval "$condition" || problems="$problems not $condition;"; done
    rm -f "$tmp"/rst*.png "$wine_temp"/rst*.png
    [ -z "$problems" ] && passed=$((passed + 1)) || { failed=$((failed + 1)) && printf "FAIL %s:%s\n" "$label" "$problems"; }
}
wait_for() { # at most 30 s for a condition
    tries=0
    until eval "$1"; do [ $((tries += 1)) -lt 300 ] && sleep 0.1 || return 1; done
}

long=$(printf '%0100d' 0 | tr 0 d) && mkdir -p "$long/$long/$long"
for name in 写真.png Ελληνικά.png 'фото😀.png' €.png "$long\\$long\\$long\\写真.png"; do
    file=$(printf '%s' "$name" | tr '\\' /) out=${name%.png}-300.png
    cp "$png" "$file" && run "$name"
    check "$name in place" 0 "DPI of $name changed to 300" '' 'cmp -s "$file" new.png'
    cp "$png" "$file" && run "$name" "$out"
    check "$name to $out" 0 "$name copied to $out using DPI of 300" '' 'cmp -s "$file" "$png"' \
        'cmp -s "$(printf %s "$out" | tr "\\\\" /)" new.png'
done
cp "$png" in.png && count=$(ls | wc -l) && run in.png "$(printf '%0300d' 0).png"
check 'a name too long for any file system' 1 'restamp failed.' 'Error opening file(s).' '[ "$(ls | wc -l)" = $count ]'

# The helper holds the lock: a run waits, its temporary file private (Wine shows
# the user-only DACL as permission bits), and Ctrl+C (SIGINT under Wine) ends it
# and deletes that file; a second run waits until the helper has
# written another image into the input, and rewrites that one.
mkfifo hold && { wine "$helper" in.png <hold >held & } && exec 3>hold
wait_for 'grep -q locked held'
wine "$exe" 300 in.png >out 2>err 3>&- & pid=$!
wait_for 'find "$wine_temp" -name "rst*.png" | grep -q .' && shared=$(find "$wine_temp" -name 'rst*.png' -perm /o=r)
kill -INT $pid && wait $pid; status=$?
check 'Ctrl+C while waiting for the lock' 58 '' 'Waiting for another program to release in.png.' 'cmp -s in.png "$png"' '[ -z "$shared" ]' # STATUS_CONTROL_C_EXIT
wine "$exe" 300 in.png >out 2>err 3>&- & pid=$!
wait_for 'find "$wine_temp" -name "rst*.png" | grep -q .'; cat "$other" >&3; exec 3>&-
wait $pid; status=$?
check 'a second run waits for the lock' 0 'DPI of in.png changed to 300' 'Waiting for another program to release in.png.' 'cmp -s in.png other-new.png'
wait

printf '%s\n' 'SKIP long paths: Wine opens paths of MAX_PATH characters or more without the \\?\ prefix too'
echo "SKIP closing the console, Ctrl+C during the copy-back: Wine gives no console to close, nor a step to stop at"
echo 'SKIP read-only inputs, ACLs: Wine run as root enforces neither (it shows a DACL as permission bits)'
echo "$passed passed, $failed failed"
[ "$failed" = 0 ]

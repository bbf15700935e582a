#!/bin/sh
# Black-box tests: runs the built program ($RESTAMP, through $RESTAMP_LAUNCHER when
# set, e.g. wine for restamp.exe) in a fresh folder per case and checks its exit
# status, both streams and the files it leaves.
#   cli_test.sh DATA_FOLDER
set -u
data=$(cd "$1" && pwd)
work=$(mktemp -d)
chmod 755 "$work"
trap 'rm -rf "$work"' EXIT
png=$data/pngsuite/basn3p08.png # 1286 bytes, no pHYs
new=$work/new.png               # what restamp 300 must make of it
{ head -c 33 "$png"; printf '\0\0\0\011pHYs\0\0\056\043\0\0\056\043\001\170\245\077\166'; tail -c +34 "$png"; } >"$new"
usage='Usage: restamp dpi infile.png [outfile.png]\n\nNote: specifying only the input file will cause it to be modified.\n'
backup='restamp failed.\nIf your file is missing or damaged, a backup copy may exist at {temp}\n'
passed=0 failed=0 cases=0 skipped=0

# The Windows program keeps its temporary files in the user's folder, which Wine
# takes from its registry, not from TMP.
windows=''
case $RESTAMP in *.exe)
    windows=yes
    export WINEDEBUG=-all LC_ALL=C.UTF-8 # Wine's ANSI code page is then 1252
    wine_temp=$(winepath -u "$(wine cmd /c echo %TEMP% | tr -d '\r')") && mkdir -p "$wine_temp" || exit 1
    ;;
esac

# begin NAME: a fresh folder holding in.png and an empty temporary folder tmp/.
begin() {
    name=$1 prefix='' fsize=unlimited windows_env='' cases=$((cases + 1))
    dir=$work/$cases
    mkdir -p "$dir/tmp" && cp "$png" "$dir/in.png" && chmod -R a+rwX "$dir" && cd "$dir" || exit 1
    [ -z "$windows" ] || rm -f "$wine_temp"/rst*.tmp
}

skip() { # skip REASON: counts the current case as skipped
    skipped=$((skipped + 1)) && echo "SKIP $name: $1"
}

# on_posix_only REASON: true on POSIX; on Windows, skips the case.
on_posix_only() {
    [ -z "$windows" ] && return 0
    skip "$1" && return 1
}

run() {
    if [ -n "$windows_env" ]; then
        wine cmd /c "$windows_env$(winepath -w "$RESTAMP") $*"
    else
        (trap '' XFSZ && ulimit -f $fsize && TMPDIR=$dir/tmp exec $prefix ${RESTAMP_LAUNCHER:-} "$RESTAMP" "$@")
    fi >stdout.crlf 2>stderr.crlf
    status=$?
    tr -d '\r' <stdout.crlf >stdout # Windows ends its text lines with CR LF
    tr -d '\r' <stderr.crlf >stderr
}

# check STATUS STDOUT STDERR [FILE=STATE...]: STDOUT is what follows the banner,
# {temp} the temporary file; a STATE is absent, empty, original, new or a shell test.
check() {
    problems=''
    if [ -n "$windows" ]; then
        temp=$(find "$wine_temp" -name 'rst*.tmp')
        shown=$([ -z "$temp" ] || winepath -w "$temp" | tr -d '\r' | sed 's/\\/\\\\/g')
    else
        temp=$(find "$dir/tmp" -type f 2>/dev/null) shown=$temp
    fi
    [ "$status" = "$1" ] || problems="$problems exit status $status;"
    printf "$2" | sed "s|{temp}|$shown|" >expected
    head -n 1 stdout | grep -q . && problems="$problems banner missing;"
    sed -n 2p stdout | grep -q '^PNG file DPI changer (build time ... ... .. ..:..:.. ....)$' || problems="$problems bad banner;"
    tail -n +6 stdout | cmp -s expected - || problems="$problems stdout: $(tail -n +6 stdout);"
    printf "$3" | cmp -s - stderr || problems="$problems stderr: $(cat stderr);"
    shift 3
    for expectation; do
        file=${expectation%%=*} state=${expectation#*=}
        [ "$file" = temp ] && file=$temp
        case $state in
        absent) [ ! -e "$file" ] ;;
        empty) [ -f "$file" ] && [ ! -s "$file" ] ;;
        original) cmp -s "$file" "$png" ;;
        new) cmp -s "$file" "$new" ;;
        *) eval "$state" ;;
        esac || problems="$problems $file not $state;"
    done
    if [ -z "$problems" ]; then
        passed=$((passed + 1))
    else
        failed=$((failed + 1)) && echo "FAIL $name:$problems"
    fi
}

begin 'no arguments'; run; check 1 "$usage" '' in.png=original
begin 'DPI only'; run 300; check 1 "$usage" '' in.png=original
for dpi in 0 -5 abc; do
    begin "DPI $dpi"; run "$dpi" in.png; check 1 'DPI must be greater than zero\nrestamp failed.\n' '' in.png=original temp=absent
done
for dpi in 54546085 4294967373; do
    begin "DPI $dpi"; run "$dpi" in.png out.png
    check 1 'DPI must not exceed 54546084\nrestamp failed.\n' '' in.png=original out.png=absent
done
begin 'explicit output, extra argument'; run 300x in.png out.png extra
check 0 'in.png copied to out.png using DPI of 300\n' '' in.png=original out.png=new
begin 'in place keeps permission bits'
if on_posix_only 'POSIX permission bits'; then
    chmod 640 in.png; run 300 in.png
    check 0 'DPI of in.png changed to 300\n' '' in.png=new temp=absent 'in.png=[ $(stat -c %a in.png) = 640 ]'
fi
begin 'output names the input'; run 300 in.png ./in.png
check 0 'DPI of in.png changed to 300\n' '' in.png=new temp=absent
begin 'output is a hard link to the input'; ln in.png out.png; run 300 in.png out.png
check 0 'DPI of in.png changed to 300\n' '' in.png=new out.png=new temp=absent
begin 'in place through a symbolic link'; ln -s in.png link.png; run 300 link.png
check 0 'DPI of link.png changed to 300\n' '' in.png=new 'link.png=[ -L link.png ]'
begin 'a name outside ASCII, in place'; mv in.png €.png; run 300 €.png
check 0 'DPI of €.png changed to 300\n' '' €.png=new 'in.png=[ "$(ls *.png)" = €.png ]'
begin 'missing input'; run 300 missing.png out.png
check 1 'restamp failed.\n' 'Error opening file(s).\n' out.png=empty
begin 'missing input, in place'; run 300 missing.png
check 1 "$backup" 'Error opening file(s).\n' temp=empty
begin 'not a PNG, in place'; echo text >in.png; run 300 in.png
check 1 "$backup" 'Not a valid PNG file.\n' 'in.png=[ "$(cat in.png)" = text ]' temp=empty
# POSIX opens a folder and fails to read it; Windows fails to open it.
folder_error='Error reading input file.\n'
[ -z "$windows" ] || folder_error='Error opening file(s).\n'
begin 'input is a folder'; mkdir folder; run 300 folder out.png
check 1 'restamp failed.\n' "$folder_error" out.png=empty
begin 'input is a folder, in place'; mkdir folder; run 300 folder
check 1 "$backup" "$folder_error" temp=empty 'folder=[ -d folder ]'
begin 'disk full'
if on_posix_only '/dev/full'; then
    run 300 in.png /dev/full
    check 1 'restamp failed.\n' 'Error writing output file.\n' in.png=original
fi
begin 'disk full, in place' # a one-page file system, filled
if on_posix_only 'the temporary folder comes from the registry' && [ "$(id -u)" = 0 ] &&
    mount -t tmpfs -o size=4k tmpfs tmp 2>/dev/null; then
    head -c 4096 /dev/zero >tmp/.filler
    run 300 in.png; rm tmp/.filler
    check 1 "$backup" 'Error writing output file.\n' in.png=original 'temp=[ -f "$temp" ]'
    cd "$work" && umount "$dir/tmp"
elif [ -z "$windows" ]; then
    skip 'mounting a small file system needs root'
fi
begin 'file size limit'
if on_posix_only 'resource limits'; then
    fsize=1; run 300 in.png out.png # 512 bytes
    check 1 'restamp failed.\n' 'Error writing output file.\n' in.png=original 'out.png=[ $(stat -c %s out.png) = 512 ]'
fi
begin 'file size limit, in place'
if on_posix_only 'resource limits'; then
    fsize=1; run 300 in.png
    check 1 "$backup" 'Error writing output file.\n' in.png=original 'temp=[ $(stat -c %s "$temp") = 512 ]'
fi
begin 'no temporary folder'
if [ -n "$windows" ]; then
    windows_env='set TMP=Z:\no\such\folder&& set TEMP=Z:\no\such\folder&& '
else
    rmdir tmp
fi
run 300 in.png; check 1 'Could not create temporary file.\nrestamp failed.\n' '' in.png=original
begin 'input the user may not overwrite'
if on_posix_only 'Wine run as root does not enforce the read-only attribute'; then
    chmod 444 in.png
    [ "$(id -u)" = 0 ] && prefix='setpriv --reuid=65534 --regid=65534 --clear-groups'
    run 300 in.png; check 1 "$backup" '' in.png=original temp=new
fi
if [ -n "$windows" ]; then
    begin 'path with backslashes'; mkdir sub && mv in.png sub; run 300 'sub\in.png'
    check 0 'DPI of sub\\in.png changed to 300\n' '' sub/in.png=new temp=absent
    begin 'in place keeps attributes'; wine cmd /c attrib +h in.png; run 300 in.png
    check 0 'DPI of in.png changed to 300\n' '' in.png=new 'in.png=wine cmd /c attrib in.png | grep -q "^A   H "'
fi

# An independent checker reads every result: one pHYs, at 300 DPI. Under Wine,
# which starts slowly, a sample of the images: the program is the same.
suite=$(ls "$data"/pngsuite/[!x]*.png)
[ -z "$windows" ] || suite=$(ls "$data"/pngsuite/basn*.png "$data"/pngsuite/cd*.png)
if command -v pngcheck >/dev/null; then
    for file in $suite; do
        begin "pngcheck ${file##*/}"; cp "$file" this.png; run 300 this.png out.png
        check 0 "this.png copied to out.png using DPI of 300\n" '' \
            'out.png=pngcheck -v out.png | grep -c pHYs | grep -qx 1' \
            'out.png=pngcheck -v out.png | grep -q "at offset 0x00025, length 9: 11811x11811 pixels/meter (300 dpi)"'
    done
else
    name=pngcheck && skip 'pngcheck is not installed'
fi

echo "$passed passed, $failed failed, $skipped skipped"
[ "$failed" = 0 ]

#!/bin/sh
# Black-box tests: runs the built program ($RESTAMP, through $RESTAMP_LAUNCHER when
# set) in a fresh folder per case and checks exit status, both streams and files.
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
passed=0 failed=0 cases=0

# begin NAME: a fresh folder holding in.png and an empty temporary folder tmp/.
begin() {
    name=$1 prefix='' fsize=unlimited cases=$((cases + 1))
    dir=$work/$cases
    mkdir -p "$dir/tmp" && cp "$png" "$dir/in.png" && chmod -R a+rwX "$dir" && cd "$dir" || exit 1
}

run() {
    (trap '' XFSZ && ulimit -f $fsize && TMPDIR=$dir/tmp exec $prefix ${RESTAMP_LAUNCHER:-} "$RESTAMP" "$@") \
        >stdout 2>stderr
    status=$?
}

# check STATUS STDOUT STDERR [FILE=STATE...]: STDOUT is what follows the banner,
# {temp} the temporary file; a STATE is absent, empty, original, new or a shell test.
check() {
    problems=''
    temp=$(find "$dir/tmp" -type f 2>/dev/null)
    [ "$status" = "$1" ] || problems="$problems exit status $status;"
    printf "$2" | sed "s|{temp}|$temp|" >expected
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
begin 'in place keeps permission bits'; chmod 640 in.png; run 300 in.png
check 0 'DPI of in.png changed to 300\n' '' in.png=new temp=absent 'in.png=[ $(stat -c %a in.png) = 640 ]'
begin 'output names the input'; run 300 in.png ./in.png
check 0 'DPI of in.png changed to 300\n' '' in.png=new temp=absent
begin 'output is a hard link to the input'; ln in.png out.png; run 300 in.png out.png
check 0 'DPI of in.png changed to 300\n' '' in.png=new out.png=new temp=absent
begin 'in place through a symbolic link'; ln -s in.png link.png; run 300 link.png
check 0 'DPI of link.png changed to 300\n' '' in.png=new 'link.png=[ -L link.png ]'
begin 'missing input'; run 300 missing.png out.png
check 1 'restamp failed.\n' 'Error opening file(s).\n' out.png=empty
begin 'missing input, in place'; run 300 missing.png
check 1 "$backup" 'Error opening file(s).\n' temp=empty
begin 'not a PNG, in place'; echo text >in.png; run 300 in.png
check 1 "$backup" 'Not a valid PNG file.\n' 'in.png=[ "$(cat in.png)" = text ]' temp=empty
begin 'input is a folder'; mkdir folder; run 300 folder out.png
check 1 'restamp failed.\n' 'Error reading input file.\n' out.png=empty
begin 'input is a folder, in place'; mkdir folder; run 300 folder
check 1 "$backup" 'Error reading input file.\n' temp=empty 'folder=[ -d folder ]'
begin 'disk full'; run 300 in.png /dev/full
check 1 'restamp failed.\n' 'Error writing output file.\n' in.png=original
begin 'disk full, in place' # a one-page file system, filled
if [ "$(id -u)" = 0 ] && mount -t tmpfs -o size=4k tmpfs tmp 2>/dev/null; then
    head -c 4096 /dev/zero >tmp/.filler
    run 300 in.png; rm tmp/.filler
    check 1 "$backup" 'Error writing output file.\n' in.png=original 'temp=[ -f "$temp" ]'
    cd "$work" && umount "$dir/tmp"
else
    echo "SKIP disk full, in place: mounting a small file system needs root"
fi
begin 'file size limit'; fsize=1; run 300 in.png out.png # 512 bytes
check 1 'restamp failed.\n' 'Error writing output file.\n' in.png=original 'out.png=[ $(stat -c %s out.png) = 512 ]'
begin 'file size limit, in place'; fsize=1; run 300 in.png
check 1 "$backup" 'Error writing output file.\n' in.png=original 'temp=[ $(stat -c %s "$temp") = 512 ]'
begin 'no temporary folder'; rmdir tmp; run 300 in.png
check 1 'Could not create temporary file.\nrestamp failed.\n' '' in.png=original
begin 'input the user may not overwrite'; chmod 444 in.png
[ "$(id -u)" = 0 ] && prefix='setpriv --reuid=65534 --regid=65534 --clear-groups'
run 300 in.png; check 1 "$backup" '' in.png=original temp=new

# An independent checker reads every result: one pHYs, at 300 DPI.
if command -v pngcheck >/dev/null; then
    for file in "$data"/pngsuite/[!x]*.png; do
        begin "pngcheck ${file##*/}"; run 300 "$file" out.png
        check 0 "$file copied to out.png using DPI of 300\n" '' \
            'out.png=pngcheck -v out.png | grep -c pHYs | grep -qx 1' \
            'out.png=pngcheck -v out.png | grep -q "at offset 0x00025, length 9: 11811x11811 pixels/meter (300 dpi)"'
    done
else
    echo "SKIP pngcheck is not installed"
fi

echo "$passed passed, $failed failed"
[ "$failed" = 0 ]

#!/bin/sh
# Black-box tests: runs the built program ($RESTAMP, through $RESTAMP_LAUNCHER when
# set, e.g. wine for restamp.exe) in a fresh folder per case and checks its exit
# status, both streams and the files it leaves. Exits 77 when GROUP cannot run here.
#   cli_test.sh DATA_FOLDER GROUP    (GROUP: basic, posix, windows or pngcheck)
set -u
data=$(cd "$1" && pwd) group=$2
work=$(mktemp -d)
chmod 755 "$work"
trap 'rm -rf "$work"' EXIT
png=$data/pngsuite/basn3p08.png # 1286 bytes, no pHYs
phys300='\0\0\0\011pHYs\0\0\056\043\0\0\056\043\001\170\245\077\166' # printf's escapes
phys72='\0\0\0\011pHYs\0\0\013\023\0\0\013\023\001\000\232\234\030'
stamp() { head -c 33 "$2" && printf "$1" && tail -c +34 "$2"; } # CHUNK FILE: CHUNK inserted after IHDR
new=$work/new.png && stamp "$phys300" "$png" >"$new" # what restamp 300 makes of $png
usage='Usage: restamp dpi infile.png [outfile.png]\n\nNote: specifying only the input file will cause it to be modified.\n'
backup='restamp failed.\nIf your file is missing or damaged, a backup copy may exist at {temp}\n'
changed="$backup" changed_error='Input file changed during the run.\n'
passed=0 failed=0 cases=0

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
    name=$1 prefix='' windows_env='' cases=$((cases + 1))
    dir=$work/$cases
    mkdir -p "$dir/tmp" && cp "$png" "$dir/in.png" && chmod -R a+rwX "$dir" && chmod +t "$dir/tmp" && cd "$dir" || exit 1
    [ -z "$windows" ] || rm -f "$wine_temp"/rst*.png
}

run() {
    if [ -n "$windows" ]; then
        wine cmd /c "$windows_env$(winepath -w "$RESTAMP") $*" 3>&- # not the end of a held file's pipe
    else
        env TMPDIR="${tmpdir-$dir/tmp}" $prefix ${RESTAMP_LAUNCHER:-} "$RESTAMP" "$@"
    fi >stdout.crlf 2>stderr.crlf
    status=$?
    finish
}
finish() {
    tr -d '\r' <stdout.crlf >stdout # Windows ends its text lines with CR LF
    tr -d '\r' <stderr.crlf >stderr
}

# held_run SIZE ARGS: starts the run in the background, to be stopped before
# the copy-back, and returns once its rewrite (SIZE bytes) is complete: until
# resume_held_run, it has read the input and not yet written it.
held_run() {
    size=$1 && shift
    strace -o /dev/null -qq -e trace=fsync -e inject=fsync:signal=STOP \
        env TMPDIR="$dir/tmp" "$RESTAMP" "$@" >stdout.crlf 2>stderr.crlf &
    tracer=$!
    until [ "$(stat -c %s tmp/restamp-*.png 2>/dev/null)" = "$size" ]; do kill -0 $tracer || return; done
}
resume_held_run() {
    child=$(pgrep -P $tracer)
    while kill -CONT "$child" 2>/dev/null; do :; done
    wait $tracer
    status=$?
    finish
}

# check STATUS STDOUT STDERR [FILE=STATE...]: STDOUT is what follows the banner,
# {temp} the temporary file; a STATE is absent, empty, original, new or a shell test.
check() {
    problems=''
    if [ -n "$windows" ]; then
        temp=$(find "$wine_temp" "$dir" -name 'rst*.png') # the case's folder may be TMP
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

skip_group() {
    echo "SKIP $group: $1" && exit 77
}

case $group in
basic)
    begin 'no arguments'; run; check 1 "$usage" '' in.png=original
    begin 'DPI only'; run 300; check 1 "$usage" '' in.png=original
    begin 'one file per run'; cp in.png b.png && cp in.png c.png; run 300 in.png b.png c.png
    check 1 "${usage}restamp takes one file per run.\n" '' in.png=original b.png=original c.png=original
    for dpi in 0 -5 abc; do
        begin "DPI $dpi"; run "$dpi" in.png; check 1 'DPI must be greater than zero\nrestamp failed.\n' '' in.png=original temp=absent
    done
    for dpi in 54546085 4294967373; do
        begin "DPI $dpi"; run "$dpi" in.png out.png
        check 1 'DPI must not exceed 54546084\nrestamp failed.\n' '' in.png=original out.png=absent
    done
    begin 'explicit output'; run 300x in.png out.png
    check 0 'in.png copied to out.png using DPI of 300\n' '' in.png=original out.png=new
    begin 'in place'; run 300 in.png; check 0 'DPI of in.png changed to 300\n' '' in.png=new temp=absent
    begin 'output names the input'; run 300 in.png ./in.png
    check 0 'DPI of in.png changed to 300\n' '' in.png=new temp=absent
    begin 'output is a hard link to the input'; ln in.png out.png; run 300 in.png out.png
    check 0 'DPI of in.png changed to 300\n' '' in.png=new out.png=new temp=absent
    begin 'a name outside ASCII, in place'; mv in.png €.png; run 300 €.png
    check 0 'DPI of €.png changed to 300\n' '' €.png=new 'in.png=[ "$(ls *.png)" = €.png ]'
    # An existing output is only touched once the input has passed.
    for input in missing.png text.png; do
        begin "output kept, input $input"; echo text >text.png && echo keep >out.png; run 300 $input out.png
        error='Error opening file(s).\n' && [ $input = missing.png ] || error='Not a valid PNG file.\n'
        check 1 'restamp failed.\n' "$error" 'out.png=[ "$(cat out.png)" = keep ]'
    done
    begin 'missing input, in place'; run 300 missing.png
    check 1 "$backup" 'Error opening file(s).\n' temp=empty
    begin 'not a PNG, in place'; echo text >in.png; run 300 in.png
    check 1 "$backup" 'Not a valid PNG file.\n' 'in.png=[ "$(cat in.png)" = text ]' temp=empty
    begin 'input is a folder, in place'; mkdir folder; run 300 folder
    check 1 "$backup" 'Error opening file(s).\n' temp=empty 'folder=[ -d folder ]'
    begin 'no temporary folder'
    if [ -n "$windows" ]; then
        windows_env='set TMP=Z:\no\such\folder&& set TEMP=Z:\no\such\folder&& '
    else
        rmdir tmp
    fi
    run 300 in.png; check 1 'Could not create temporary file.\nrestamp failed.\n' '' in.png=original
    # Re-stamping an image whose only pHYs follows IHDR writes its 13 bytes alone.
    begin 're-stamp, same DPI: nothing written'; cp "$new" in.png && touch -d @0 in.png; run 300 in.png
    check 0 'DPI of in.png changed to 300\n' '' in.png=new temp=absent 'in.png=[ $(stat -c %Y in.png) = 0 ]'
    begin 're-stamp, new DPI'; cp "$new" in.png; run 72 in.png; run 300 in.png
    check 0 'DPI of in.png changed to 300\n' '' in.png=new temp=absent
    ;;
posix)
    [ "$(id -u)" = 0 ] && command -v strace >/dev/null || skip_group 'needs root and strace to inject faults'
    export ASAN_OPTIONS=detect_leaks=0 # LeakSanitizer cannot run under strace
    other='setpriv --reuid=65534 --regid=65534 --clear-groups'
    begin 'in place keeps owner and permission bits, through a symbolic link'
    chown 1:1 in.png && chmod 640 in.png && ln -s in.png link.png; run 300 link.png
    check 0 'DPI of link.png changed to 300\n' '' in.png=new 'in.png=[ "$(stat -c %u:%g:%a in.png)" = 1:1:640 ]' 'link.png=[ -L link.png ]'
    begin 'group-writable input of another owner'; chown 1:65534 in.png && chmod 664 in.png
    prefix='setpriv --reuid=65533 --regid=65533 --groups=65534'; run 300 in.png
    check 0 'DPI of in.png changed to 300\n' '' in.png=new 'in.png=[ "$(stat -c %u:%a in.png)" = 1:664 ]'
    begin 'input the user may not overwrite'; chmod 644 in.png && prefix=$other; run 300 in.png
    check 1 "$backup" 'Error writing input file.\n' in.png=original temp=empty
    begin 'write-back not durable, standard error closed'; prefix='strace -o /dev/null -qq -e inject=fsync:error=EIO:when=2'
    env TMPDIR="$dir/tmp" $prefix "$RESTAMP" 300 in.png >stdout.crlf 2>&-; status=$? && : >stderr.crlf && finish
    check 1 "$backup" '' temp=new # no message of ours in a file that took its place
    begin 'disk full'; run 300 in.png /dev/full
    check 1 'restamp failed.\n' 'Error writing output file.\n' in.png=original
    begin 'file size limit'; prefix='prlimit --fsize=512'; run 300 in.png out.png
    check 1 'restamp failed.\n' 'Error writing output file.\n' in.png=original 'out.png=[ $(stat -c %s out.png) = 512 ]'
    begin 'file size limit, in place'; prefix='prlimit --fsize=512'; run 300 in.png
    check 1 "$backup" 'Error writing output file.\n' in.png=original 'temp=[ $(stat -c %s "$temp") = 512 ]'
    begin 'temporary folder full' # a one-page file system, filled
    mount -t tmpfs -o size=4k tmpfs tmp && head -c 4096 /dev/zero >tmp/.filler; run 300 in.png; rm tmp/.filler
    check 1 "$backup" 'Error writing output file.\n' in.png=original 'temp=[ -f "$temp" ]'
    umount tmp
    # The input's own file system fills during the copy-back: a 4090-byte input
    # (one page) grows to a second page that is not there.
    begin 'input file system full'; mkdir disk && mount -t tmpfs -o size=8k tmpfs disk
    { cat "$png"; printf '\0\0\012\350prVt' && head -c 2796 /dev/zero; } >disk/in.png && chmod 604 disk/in.png
    stamp "$phys300" disk/in.png >whole.png && head -c 4096 /dev/zero >disk/.filler; run 300 disk/in.png
    check 1 "$backup" 'Error writing input file.\n' 'temp=cmp -s "$temp" whole.png' 'disk/in.png=[ $(stat -c %a disk/in.png) = 604 ]'
    cd "$work" && umount "$dir/disk"
    # An image with two pHYs shrinks, so that a copy-back left uncut is damaged.
    twice=$work/twice.png && stamp "$phys72" "$new" >"$twice"
    begin 'interrupt during the copy-back'; cp "$twice" in.png; prefix='strace -o /dev/null -qq -e inject=ftruncate:signal=INT'
    run 300 in.png; check 130 '' '' in.png=new temp=absent
    begin 'interrupt during the rewrite'; prefix='strace -o /dev/null -qq -e inject=write:signal=INT:when=2'
    run 300 in.png; check 130 '' '' in.png=original temp=absent
    begin 're-stamp, write fails'; cp "$twice" in.png && run 72 in.png && cp in.png before.png
    prefix='strace -o /dev/null -qq -e inject=pwrite64:error=EIO'; run 300 in.png
    check 1 "$backup" 'Error writing input file.\n' 'in.png=cmp -s in.png before.png' temp=new
    begin 'two runs on one file'; held_run 1307 300 in.png; env TMPDIR=tmp "$RESTAMP" 72 in.png >second &
    until grep -q -- '-> FLOCK' /proc/locks; do kill -0 $! || break; done
    resume_held_run; wait $!; second=$?
    check 0 'DPI of in.png changed to 300\n' '' 'second=[ $second = 0 ] && grep -q "in.png changed to 72" second' \
        "in.png=stamp '$phys72' '$png' | cmp -s - in.png"
    for row in 'mv in.png moved.png; [ ! -e in.png ] && cmp -s moved.png "$png"' 'mv other.png in.png; cmp -s in.png "$png"' \
        'echo more >>in.png; [ $(stat -c %s in.png) = 1291 ]'; do
        begin "input changed during the run: ${row%%;*}"; cp in.png other.png; held_run 1307 300 in.png; eval "${row%%;*}"
        resume_held_run; check 1 "$backup" "$changed_error" temp=new "in.png=${row#*;}"
    done
    # The temporary file is used through its descriptor alone, whatever its name
    # leads to meanwhile; a folder where others could rename it is refused.
    begin 'a file renamed over the temporary file'; cp "$twice" evil.png
    held_run 1307 300 in.png; mv evil.png tmp/restamp-*.png; resume_held_run
    check 0 'DPI of in.png changed to 300\n' '' in.png=new
    begin 'a symbolic link planted at its name'; echo keep >victim
    held_run 1307 300 in.png; ln -sf ../victim tmp/evil && mv -f tmp/evil tmp/restamp-*.png; resume_held_run
    check 0 'DPI of in.png changed to 300\n' '' in.png=new 'victim=[ "$(cat victim)" = keep ]'
    begin 'temporary folder open to others'; chmod 777 tmp; run 300 in.png
    check 1 'Could not create temporary file.\nrestamp failed.\n' '' in.png=original temp=absent
    # Kernel copies fall back to sendfile, then to a buffer, part way through.
    three=$work/three.png && { cat "$twice" && printf "$phys72" && tail -c +9 "$png"; } >"$three"
    { cat "$new" && tail -c +9 "$png"; } >"$work/three-new.png"
    for fault in copy_file_range:error=EXDEV:when=2+ copy_file_range:error=ENOSYS:when=3+ \
        'copy_file_range:error=EINVAL sendfile:error=EINVAL:when=2+'; do
        begin "kernel copy refused: $fault"; cp "$three" in.png
        prefix="strace -o /dev/null -qq $(printf -- '-e inject=%s ' $fault)"; run 300 in.png out.png
        check 0 'in.png copied to out.png using DPI of 300\n' '' 'out.png=cmp -s out.png "$work/three-new.png"'
    done
    # sendfile fills a pipe 64 KiB at a time: the buffer takes over part way.
    begin 'output is a pipe'; mkfifo pipe && { cat "$png" && printf '\0\3\0\0prVt' && head -c 196612 /dev/zero; } >in.png
    stamp "$phys300" in.png >whole.png && cat pipe >out.png &
    prefix='strace -o /dev/null -qq -e inject=sendfile:error=EINVAL:when=3'; run 300 in.png pipe; wait $!
    check 0 'in.png copied to pipe using DPI of 300\n' '' 'out.png=cmp -s out.png whole.png'
    begin 'output on another file system'; out=$(mktemp -p /dev/shm); run 300 in.png "$out"
    check 0 "in.png copied to $out using DPI of 300\n" '' "out.png=cmp -s $out $new"
    rm -f "$out"
    begin 'empty TMPDIR means /tmp'; tmpdir='' && echo text >in.png; run 300 in.png; unset tmpdir
    left=$(sed -n 's/.*exist at //p' stdout)
    check 1 "restamp failed.\nIf your file is missing or damaged, a backup copy may exist at $left\n" \
        'Not a valid PNG file.\n' 'in.png=[ "${left%/*}" = /tmp ] && rm "$left"'
    ;;
windows)
    : "${LOCK_HELPER:?names lock_helper.exe, built with restamp.exe}"
    begin 'path with backslashes'; mkdir sub && mv in.png sub; run 300 'sub\in.png'
    check 0 'DPI of sub\\in.png changed to 300\n' '' sub/in.png=new temp=absent
    begin 'in place keeps attributes'; wine cmd /c attrib +h in.png; run 300 in.png
    check 0 'DPI of in.png changed to 300\n' '' in.png=new 'in.png=wine cmd /c attrib in.png | grep -q "^A   H "'
    # Names outside the ANSI code page (1252 here) with UTF-8 of two, three and
    # four bytes (a surrogate pair in UTF-16), and such a folder as TMP.
    unicode='Ελ写😀.png' long=$(printf '%0100d' 0 | tr 0 d)
    unicode_tmp() { mkdir τμπ😀 && windows_env="set TMP=$(winepath -w τμπ😀 | tr -d '\r')&& "; }
    begin 'a name outside the code page, in place'; mv in.png "$unicode" && unicode_tmp; run 300 "$unicode"
    check 0 "DPI of $unicode changed to 300\n" '' "$unicode=new" temp=absent \
        'stdout.crlf=[ "$(tail -n 1 stdout.crlf)" = "$(printf "DPI of %s changed to 300\r" "$unicode")" ]' # UTF-8, CR LF
    begin 'a name outside the code page, to an output'; mv in.png "$unicode"; run 300 "$unicode" "Ελ写😀-300.png"
    check 0 "$unicode copied to Ελ写😀-300.png using DPI of 300\n" '' "$unicode=original" "Ελ写😀-300.png=new"
    begin 'a path longer than MAX_PATH'; mkdir -p "$long/$long/$long" && mv in.png "$long/$long/$long/$unicode"
    run 300 "$long\\$long\\$long\\$unicode"
    check 0 "DPI of $long\\\\$long\\\\$long\\\\$unicode changed to 300\n" '' "$long/$long/$long/$unicode=new" temp=absent
    begin 'a name no file system takes'; run 300 in.png "$(printf '%0300d' 0).png"
    check 1 'restamp failed.\n' 'Error opening file(s).\n' in.png=original 'output=[ -z "$(find . -name "0*")" ]'
    # Devices are never one file: NUL as input and output is no run in place.
    begin 'NUL as input and output'; run 300 NUL NUL
    check 1 'restamp failed.\n' 'Not a valid PNG file.\n' temp=absent
    # lock_helper (tests/lock_helper.cpp) opens the output as standard output,
    # as Windows' cmd does for "> out.png".
    begin 'the output is standard output'
    wine "$LOCK_HELPER" out.png stdout "$(winepath -w "$RESTAMP") 300 in.png out.png" 2>stderr.crlf; status=$?
    tr -d '\r' <out.png >stdout && tr -d '\r' <stderr.crlf >stderr
    check 1 'restamp failed.\n' 'Error opening file(s).\n' in.png=original

    # lock_helper holds in.png another program's way.
    wait_for() { # at most 30 s for a condition
        tries=0
        until eval "$1"; do [ $((tries += 1)) -lt 300 ] && sleep 0.1 || return 1; done
    }
    hold() { # MODE: until release
        mkfifo hold && { wine "$LOCK_HELPER" in.png "$1" <hold >held & } && exec 3>hold && helper=$!
        wait_for 'grep -q ready held'
    }
    release() { # [FILE]: the helper writes FILE's content into in.png, and ends
        [ $# = 0 ] || cat "$1" >&3
        exec 3>&- && wait $helper
    }
    # lock_run MODE ARGS: restamp ARGS in the background while the helper holds
    # in.png's lock, until the run says it waits or ends; notes whether a
    # private rst*.png exists meanwhile.
    lock_run() {
        hold "$1" && shift
        wine "$RESTAMP" "$@" >stdout.crlf 2>stderr.crlf 3>&- &
        pid=$!
        wait_for 'grep -qs Waiting stderr.crlf || ! kill -0 $pid 2>/dev/null'
        private=$(find "$wine_temp" -name 'rst*.png' ! -perm /o=r)
    }
    ended() {
        wait $pid
        status=$?
        finish
    }
    other=$work/other.png && cp "$data/pngsuite/ctzn0g04.png" "$other" && stamp "$phys300" "$other" >"$work/other-new.png"
    waiting='Waiting for another program to release in.png.\n'
    begin 'a run waits for an exclusive lock'; lock_run exclusive 300 in.png; release "$other"; ended
    check 0 'DPI of in.png changed to 300\n' "$waiting" 'in.png=cmp -s in.png "$work/other-new.png"' temp=absent
    begin 'Ctrl+C while waiting for a shared lock'; lock_run shared 300 in.png; kill -INT $pid; ended; release
    check 58 '' "$waiting" in.png=original temp=absent 'rst*.png=[ -n "$private" ]' # STATUS_CONTROL_C_EXIT
    begin 'a shared lock lets a run read'; lock_run shared 300 in.png out.png; release; ended
    check 0 'in.png copied to out.png using DPI of 300\n' '' out.png=new

    # An input that may not be written fails before anything is written, but
    # for an image that needs no write; the backup notice names a TMP outside
    # the code page.
    unwritable() { # WAY: false where Wine cannot show it
        if [ "$1" = deny-write ]; then hold deny-write; else wine cmd /c attrib +r in.png && [ ! -w in.png ]; fi
    }
    for way in 'attrib +r' deny-write; do
        begin "$way"; unicode_tmp
        if ! unwritable "$way"; then
            echo "SKIP $way: Wine run as root opens read-only files, and files an ACL denies, for writing" && continue
        fi
        run 300 in.png; [ "$way" = deny-write ] && release
        check 1 "$backup" 'Error writing input file.\n' in.png=original temp=empty
        begin "$way, already right"; cp "$new" in.png && touch -d @0 in.png && unwritable "$way"; run 300 in.png
        [ "$way" = deny-write ] && release
        check 0 'DPI of in.png changed to 300\n' '' in.png=new 'in.png=[ $(stat -c %Y in.png) = 0 ]' temp=absent
    done
    printf '%s\n' 'SKIP long paths: Wine opens paths of MAX_PATH characters or more without the \\?\ prefix too'
    echo 'SKIP lone surrogates in names: a UTF-8 command line cannot carry them into Wine'
    echo 'SKIP deletion with POSIX semantics: Wine 8 has no FileDispositionInfoEx, so restamp falls back to the classic one'
    echo 'SKIP closing the console, Ctrl+C during the copy-back: Wine gives no console to close, nor a step to stop at'
    echo "SKIP names on a console (WriteConsoleW): the tests run without a console"
    echo "SKIP 128-bit file IDs (ReFS, Dev Drive): Wine's drives have 64-bit ones"
    ;;
pngcheck)
    # An independent checker reads results of differing layouts: one pHYs, at 300 DPI.
    command -v pngcheck >/dev/null || { echo 'pngcheck is not installed: apt-get install pngcheck' && exit 1; }
    for file in basn3p08 cdun2c08 oi9n0g16 ctzn0g04 exif2c08; do
        begin "pngcheck $file"; cp "$data/pngsuite/$file.png" in.png; run 72 in.png; run 300 in.png
        check 0 "DPI of in.png changed to 300\n" '' \
            'in.png=pngcheck -v in.png | grep -c pHYs | grep -qx 1' \
            'in.png=pngcheck -v in.png | grep -q "at offset 0x00025, length 9: 11811x11811 pixels/meter (300 dpi)"'
    done
    ;;
esac

echo "$passed passed, $failed failed"
[ "$failed" = 0 ]

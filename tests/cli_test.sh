#!/bin/sh
# Black-box tests: runs the built program ($RESTAMP, through $RESTAMP_LAUNCHER when
# set, e.g. wine for restamp.exe) in a fresh folder per case and checks its exit
# status, both streams and the files it leaves. Exits 77 when GROUP cannot run here.
#   cli_test.sh DATA_FOLDER GROUP    (GROUP: basic, posix, windows or pngcheck)
set -u
data=$(cd "$1" && pwd) group=$2
. "$(dirname "$0")/fixtures.sh"
work=$(mktemp -d)
chmod 755 "$work"
trap 'cd / && awk -v w="$work" "index(\$2, w) == 1 {print \$2}" /proc/mounts | sort -r | xargs -r umount; rm -rf "$work"' EXIT
png=$data/pngsuite/basn3p08.png                            # 1286 bytes, no pHYs
new=$work/new.png && after_ihdr "$phys300" "$png" >"$new" # what restamp 300 makes of $png
stamped=$work/72.png && after_ihdr "$phys72" "$png" >"$stamped"
usage='Usage: restamp dpi infile.png [outfile.png]\n\nNote: specifying only the input file will cause it to be modified.\n'
backup='restamp failed.\nIf your file is missing or damaged, a backup copy may exist at {temp}\n'
changed_error='Input file changed during the run.\n'
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
    name=$1 prefix='' windows_env='' banner=yes cases=$((cases + 1))
    dir=$work/$cases
    mkdir -p "$dir/tmp" && cp "$png" "$dir/in.png" && chmod -R a+rwX "$dir" && chmod 755 "$dir" && chmod +t "$dir/tmp" &&
        cd "$dir" || exit 1
    [ -z "$windows" ] || rm -f "$wine_temp"/rst*.png
}

run() {
    if [ -n "$windows" ]; then
        # 3>&-: not the end of a held file's pipe
        wine cmd /c "$windows_env$(winepath -w "$RESTAMP") $*" >stdout.crlf 2>stderr.crlf 3>&-
    else
        env TMPDIR="${tmpdir-$dir/tmp}" $prefix ${RESTAMP_LAUNCHER:-} "$RESTAMP" "$@" >stdout.crlf 2>stderr.crlf
    fi
    status=$?
    finish
}
finish() {
    tr -d '\r' <stdout.crlf >stdout # Windows ends its text lines with CR LF
    tr -d '\r' <stderr.crlf >stderr
}

# hold CALL ARGS: starts restamp in the background and returns once it is
# stopped right after its first system call CALL; resume lets it go on (past
# every later CALL) and waits for it.
hold() {
    call=$1 && shift
    strace -o strace.log -qq -e trace="$call" -e inject="$call:signal=STOP" \
        env TMPDIR="$dir/tmp" "$RESTAMP" "$@" >stdout.crlf 2>stderr.crlf &
    tracer=$! && wait_for strace.log 'stopped by SIGSTOP'
    child=$(pgrep -P $tracer)
}
resume() {
    while kill -CONT "$child" 2>/dev/null; do :; done
    wait $tracer
    status=$?
    finish
}
# wait_for FILE TEXT: until FILE holds TEXT, or the job started last is gone;
# 20 seconds at most.
wait_for() {
    timeout 20 sh -c 'until grep -qs "$2" "$1"; do kill -0 $3 2>/dev/null || exit; done' sh "$1" "$2" $!
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
    [ -z "$banner" ] || { head -n 1 stdout | grep -q . && problems="$problems banner missing;"; }
    [ -z "$banner" ] || sed -n 2p stdout | grep -q '^PNG file DPI changer (build time ... ... .. ..:..:.. ....)$' ||
        problems="$problems bad banner;"
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

case $group in
basic)
    begin 'no arguments'; run; check 1 "$usage" '' in.png=original
    begin 'one file per run'; cp in.png b.png && cp in.png c.png; run 300 in.png b.png c.png
    check 1 "${usage}restamp takes one file per run.\n" '' in.png=original b.png=original c.png=original
    for dpi in 0 -5 abc; do
        begin "DPI $dpi"; run "$dpi" in.png; check 1 'DPI must be greater than zero\nrestamp failed.\n' '' in.png=original temp=absent
    done
    for dpi in 54546085 4294967373; do
        begin "DPI $dpi"; run "$dpi" in.png out.png
        check 1 'DPI must not exceed 54546084\nrestamp failed.\n' '' in.png=original out.png=absent
    done
    begin 'explicit output'; run ' +300x' in.png out.png
    check 0 'in.png copied to out.png using DPI of 300\n' '' in.png=original out.png=new
    for dpi in 1 54546084; do
        begin "DPI $dpi"; run $dpi in.png out.png; check 0 "in.png copied to out.png using DPI of $dpi\n" '' in.png=original
    done
    begin 'in place'; run 300 in.png; check 0 'DPI of in.png changed to 300\n' '' in.png=new temp=absent
    begin 'output is a hard link to the input'; ln in.png out.png; run 300 in.png out.png
    check 0 'DPI of in.png changed to 300\n' '' in.png=new out.png=new temp=absent
    begin 'a name outside ASCII, in place'; mv in.png €.png; run 300 €.png
    check 0 'DPI of €.png changed to 300\n' '' €.png=new 'in.png=[ "$(ls *.png)" = €.png ]'
    # An existing output is only touched once the input has passed.
    for input in missing.png empty.png; do
        begin "output kept, input $input"; : >empty.png && echo keep >out.png; run 300 $input out.png
        error='Error opening file(s).\n' && [ $input = missing.png ] || error='Not a valid PNG file.\n'
        check 1 'restamp failed.\n' "$error" 'out.png=[ "$(cat out.png)" = keep ]'
    done
    begin 'two missing files'; run 300 missing.png other.png
    check 1 'restamp failed.\n' 'Error opening file(s).\n' other.png=absent
    begin 'output in a missing folder'; run 300 in.png missing/out.png
    check 1 'restamp failed.\n' 'Error opening file(s).\n' in.png=original
    begin 'missing input, in place'; run 300 missing.png
    check 1 "$backup" 'Error opening file(s).\n' temp=empty
    begin 'not a PNG, in place'; echo text >in.png; run 300 in.png
    check 1 "$backup" 'Not a valid PNG file.\n' 'in.png=[ "$(cat in.png)" = text ]' temp=empty
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
    begin 're-stamp, new DPI'; cp "$stamped" in.png; run 300 in.png
    check 0 'DPI of in.png changed to 300\n' '' in.png=new temp=absent
    ;;
posix)
    [ "$(id -u)" = 0 ] && command -v strace >/dev/null || { echo 'SKIP posix: needs root and strace to inject faults' && exit 77; }
    export ASAN_OPTIONS=detect_leaks=0 # LeakSanitizer cannot run under strace
    other='setpriv --reuid=65534 --regid=65534 --clear-groups'
    twice=$work/twice.png && after_ihdr "$phys72" "$new" >"$twice" # shrinks: a copy-back left uncut is damaged
    big=$work/big.png && { cat "$png" && printf '\0\3\0\0prVt' && head -c 196612 /dev/zero; } >"$big" # a 192 KiB chunk
    after_ihdr "$phys300" "$big" >"$work/big-new.png"
    begin 'in place keeps owner and permission bits, through a symbolic link'
    chown 1:1 in.png && chmod 640 in.png && chmod 700 tmp && ln -s in.png link.png; run 300 link.png
    check 0 'DPI of link.png changed to 300\n' '' in.png=new 'in.png=[ "$(stat -c %u:%g:%a in.png)" = 1:1:640 ]' 'link.png=[ -L link.png ]'
    begin 'group-writable input of another owner'; chown 1:65534 in.png && chmod 664 in.png
    prefix='setpriv --reuid=65533 --regid=65533 --groups=65534'; run 300 in.png
    check 0 'DPI of in.png changed to 300\n' '' in.png=new 'in.png=[ "$(stat -c %u:%a in.png)" = 1:664 ]'
    begin 'input the user may not write'; chmod 644 in.png && prefix=$other; run 300 in.png
    check 1 "$backup" 'Error writing input file.\n' in.png=original temp=empty
    begin 'input the user may not write, already right'; cp "$new" in.png && chmod 644 in.png && prefix=$other; run 300 in.png
    check 0 'DPI of in.png changed to 300\n' '' in.png=new temp=absent
    begin 'a new output gets the input permission bits'; chmod 600 in.png; run 300 in.png out.png
    check 0 'in.png copied to out.png using DPI of 300\n' '' 'out.png=[ $(stat -c %a out.png) = 600 ]'
    # No open waits for a FIFO's other end; in place is for regular files.
    begin 'a FIFO in place'; mkfifo fifo && prefix='timeout 10'; run 300 fifo
    check 1 "$backup" 'Error opening file(s).\n' temp=empty
    begin 'a FIFO to an output'; mkfifo fifo && prefix='timeout 10'; run 300 fifo out.png
    check 1 'restamp failed.\n' 'Error reading input file.\n' out.png=absent
    begin 'to a FIFO no one reads'; mkfifo fifo && prefix='timeout 10'; run 300 in.png fifo
    check 1 'restamp failed.\n' 'Error opening file(s).\n' in.png=original
    # A character device is never opened to be read (a watchdog would start).
    begin 'a character device as input'; run 300 /dev/zero out.png
    check 1 'restamp failed.\n' 'Error opening file(s).\n' out.png=absent
    # The program's own standard output or error is never its output; a device may be both.
    for stream in stdout stderr; do
        begin "output is standard $stream"; run 300 in.png $stream.crlf
        check 1 'restamp failed.\n' 'Error opening file(s).\n' in.png=original
    done
    # A device is not locked: it has nothing to guard, and anyone may lock it.
    begin 'output is /dev/null, as standard error, locked by another program'
    mkfifo hold && : >locked && chmod 666 locked && setpriv --reuid=65534 flock /dev/null -c 'echo >locked && read line <hold' &
    wait_for locked ''
    timeout 10 "$RESTAMP" 300 in.png /dev/null >stdout.crlf 2>/dev/null; status=$? && echo 1<>hold && : >stderr.crlf && finish
    check 0 'in.png copied to /dev/null using DPI of 300\n' ''
    begin 'backup not durable'; prefix='strace -o /dev/null -qq -e inject=fsync:error=EIO:when=1'; run 300 in.png
    check 1 "$backup" 'Error writing output file.\n' in.png=original temp=new
    begin 'write-back not durable, standard error closed'; prefix='strace -o /dev/null -qq -e inject=fsync:error=EIO:when=2'
    env TMPDIR="$dir/tmp" $prefix "$RESTAMP" 300 in.png >stdout.crlf 2>&-; status=$? && : >stderr.crlf && finish
    check 1 "$backup" '' temp=new # no message of ours in a file that took its place
    # With all three closed, the files restamp opens do not take their places.
    begin 'standard streams closed'; echo text >in.png
    env TMPDIR="$dir/tmp" "$RESTAMP" 300 in.png <&- >&- 2>&-; status=$? banner='' && : >stdout.crlf && : >stderr.crlf && finish
    check 1 '' '' 'in.png=[ "$(cat in.png)" = text ]'
    # A message longer than the stack's buffer holds (4095 bytes) is whole.
    begin 'a message of 4096 bytes'; out=$(printf './%.0s' $(seq 2027))out.png; run 300 in.png "$out"
    check 0 "in.png copied to $out using DPI of 300\n" '' out.png=new
    begin 'disk full'; run 300 in.png /dev/full
    check 1 'restamp failed.\n' 'Error writing output file.\n' in.png=original
    begin 'file size limit, in place'; prefix='prlimit --fsize=512'; run 300 in.png
    check 1 "$backup" 'Error writing output file.\n' in.png=original 'temp=[ $(stat -c %s "$temp") = 512 ]'
    # A patch (of bytes 43 to 53) that the limit would cut short, and its
    # backup too, is not written; one that ends at the limit is (the limit
    # cuts the banner as well).
    for limit in 45 54; do
        begin "file size limit $limit, a patch"; cp "$stamped" in.png && prefix="prlimit --fsize=$limit"; run 300 in.png
        banner='' && [ $limit = 54 ] && check 0 '' '' in.png=new temp=absent ||
            check 1 '' 'Error writing input file.\n' "in.png=cmp -s in.png $stamped" temp=empty
    done
    # The input's own file system fills during the copy-back: a 4090-byte input
    # (one page) grows to a second page that is not there.
    begin 'input file system full'; mkdir disk && mount -t tmpfs -o size=8k tmpfs disk
    { cat "$png"; printf '\0\0\012\350prVt' && head -c 2796 /dev/zero; } >disk/in.png && chmod 604 disk/in.png
    after_ihdr "$phys300" disk/in.png >whole.png && head -c 4096 /dev/zero >disk/.filler; run 300 disk/in.png
    check 1 "$backup" 'Error writing input file.\n' 'temp=cmp -s "$temp" whole.png' 'disk/in.png=[ $(stat -c %a disk/in.png) = 604 ]'
    cd "$work" && umount "$dir/disk"
    # Every signal that ends a program: before the write-back the partial
    # temporary file goes and the input stays; from the write-back (copied or
    # patched) on it is held until the input is whole and the temporary file
    # gone (both synced first), and the run then ends without its success line.
    for signal in INT:130 USR1:138 XCPU:152 ABRT:134 64:192; do
        for row in "write:when=2 $png original 0" "copy_file_range $twice new 2" "pwrite64 $stamped new 1"; do
            set -- $row
            begin "signal ${signal%:*} at $1"; cp "$2" in.png
            prefix="strace -o sys.log -qq -e trace=fsync,${1%:*} -e inject=$1:signal=${signal%:*}"; run 300 in.png
            sed -i '/^User defined\|^CPU time\|^Real-time\|^Abort/d' stderr # the shell's word on the signal
            check ${signal#*:} '' '' in.png=$3 temp=absent "sys.log=[ \$(grep -c ^fsync sys.log) = $4 ]"
        done
    done
    begin 'a fault sent during the copy-back'; cp "$twice" in.png
    # (A sanitizer build would report the sent fault as its own.)
    prefix="env ASAN_OPTIONS=${ASAN_OPTIONS:+$ASAN_OPTIONS:}handle_segv=0"
    prefix="$prefix strace -o /dev/null -qq -e inject=copy_file_range:signal=SEGV"; run 300 in.png
    sed -i '/^Segmentation/d' stderr && check 139 '' '' in.png=new temp=absent
    # The interrupt comes with the first handler set after the file is made
    # (counted in a trial run, as a sanitizer's runtime sets handlers too).
    begin 'signal while the temporary file is made'
    TMPDIR=tmp strace -o sys.log -qq -e trace=rt_sigaction,openat "$RESTAMP" 300 in.png >/dev/null && cp "$png" in.png
    when=$(awk '/restamp-/ { made = 1 } /^rt_sigaction/ { n++; if (made) { print n; exit } }' sys.log)
    prefix="strace -o /dev/null -qq -e inject=rt_sigaction:signal=INT:when=$when"
    run 300 in.png; check 130 '' '' in.png=original temp=absent
    begin 'an interrupt ignored from the start'
    prefix='strace -o /dev/null -qq -e inject=write:signal=INT:when=2 env --ignore-signal=INT'; run 300 in.png
    check 0 'DPI of in.png changed to 300\n' '' in.png=new temp=absent
    begin 'standard output a pipe no one reads'; mkfifo pipe && exec 4<>pipe 5>pipe 4<&-
    env TMPDIR="$dir/tmp" "$RESTAMP" 300 in.png >&5 2>stderr.crlf; status=$? banner='' && exec 5>&- && : >stdout.crlf && finish
    check 0 '' '' in.png=new temp=absent
    # A standard output that takes no more (the banner fills its pipe) holds
    # neither the lock nor an interrupt once the input is whole and the
    # temporary file gone, or after a failure that left the input untouched.
    room=$(($("$RESTAMP" | head -n 5 | wc -c) + 10))
    for input in "$png" "$data/pngsuite/ABOUT.txt"; do
        begin "standard output full, $(basename "$input")"; cp "$input" in.png && mkfifo pipe && exec 4<>pipe
        dd if=/dev/zero bs=$((65536 - room)) count=1 status=none >&4
        env TMPDIR=tmp "$RESTAMP" 300 in.png >&4 4<&- 2>stderr.crlf & pid=$!
        if [ "$input" = "$png" ]; then
            timeout 20 sh -c 'until cmp -s in.png "$1" && [ -z "$(ls tmp)" ] || [ -s stderr.crlf ]; do :; done' sh "$new"
            timeout 10 "$RESTAMP" 72 in.png >second 2>&1; second=$? error='' input=$stamped
        else
            wait_for stderr.crlf PNG; second=0 error='Not a valid PNG file.\n'
        fi
        kill -TERM $pid && timeout 10 tail --pid=$pid -f /dev/null; ended=$?
        [ $ended = 0 ] || kill -KILL $pid # it holds the pipe's read end too: no write of its fails
        exec 4<&-; wait $pid; status=$? banner='' && : >stdout.crlf && finish
        check 143 '' "$error" "in.png=cmp -s in.png $input" 'second=[ $second = 0 ]' "$pid=[ $ended = 0 ]"
    done
    # One that another program made non-blocking is waited for.
    begin 'standard output non-blocking'; mkfifo pipe && exec 4<>pipe
    dd if=/dev/zero bs=$((65536 - room)) count=1 status=none >&4
    perl -MFcntl -e 'fcntl(STDOUT, F_SETFL, O_NONBLOCK) or die; exec @ARGV' env TMPDIR=tmp "$RESTAMP" 300 in.png \
        >pipe 2>stderr.crlf & pid=$!
    timeout 20 sh -c 'until grep -qs poll /proc/$1/wchan || ! kill -0 $1 2>/dev/null; do :; done' sh $pid
    timeout 10 head -c $((65536 - room)) <&4 >/dev/null && wait $pid; status=$?
    dd iflag=nonblock bs=4096 count=1 status=none <&4 >stdout.crlf 2>/dev/null; exec 4<&- && finish
    check 0 'DPI of in.png changed to 300\n' '' in.png=new
    # A system call that fails gives its one reason and leaves the input alone
    # (writes fail in the new pHYs, before an old one and in a kernel copy).
    for row in "o O in.png $png newfstatat:when=3" "o R in.png $png newfstatat:when=4" "o C in.png $png newfstatat:when=5" \
        "o C in.png $png newfstatat:when=6" "o W out.png $png close" "o W out.png $png write:when=2" \
        "o W out.png $data/pngsuite/cdun2c08.png write:when=3" "o W out.png $big write:when=4 copy_file_range sendfile" \
        "o R in.png $png pread64:when=2" "o R in.png $png pread64:when=4" "o R in.png $big copy_file_range sendfile pread64:when=3" \
        "i R in.png $png pread64" "i C in.png $png newfstatat:when=4" "i O in.png $png flock"; do
        set -- $row && begin "$5 fails on $3 of $(basename $4)"; cp "$4" before.png && cp "$4" in.png
        case $2 in O) error='Error opening file(s).' ;; R) error='Error reading input file.' ;;
        W) error='Error writing output file.' ;; C) error='Input file changed during the run.' ;; esac
        explicit=$1 && prefix="timeout 10 strace -o /dev/null -qq -P $dir/$3" && shift 4
        prefix="$prefix $(printf -- '-e inject=%s:error=EIO ' "$@")"
        report=$backup && [ $explicit = i ] || report='restamp failed.\n'
        if [ $explicit = o ]; then run 300 "$dir/in.png" "$dir/out.png"; else run 300 "$dir/in.png"; fi
        check 1 "$report" "$error\n" 'in.png=cmp -s in.png before.png'
    done
    # Failures restamp gets over: a system call that is interrupted is made
    # again; a span it cannot read (the fifth read) is no patch, and the image
    # is rewritten whole.
    eintr=error=EINTR:when=1
    for row in "$stamped in.png openat,flock,pread64,pwrite64:$eintr" "$twice in.png ftruncate:$eintr" \
        "$png out.png openat,write,ftruncate:$eintr" "$stamped in.png pread64:error=EIO:when=5"; do
        set -- $row && begin "$3 on $2"; cp "$1" in.png
        prefix="strace -o /dev/null -qq -P $dir/$2 -e inject=$3"; run 300 in.png ${2%in.png}
        check 0 "$(cat stdout | tail -n 1)\n" '' "$2=new"
    done
    # A patch that fails, or a temporary file that cannot be deleted: the
    # temporary file then holds the image, synced. An interrupt held meanwhile
    # ends the run once the notice is out.
    begin 're-stamp, write fails'; cp "$stamped" in.png
    prefix='strace -o sys.log -e quiet=all -e signal=none -e trace=fsync,pwrite64'
    prefix="$prefix -e inject=pwrite64:error=EIO:signal=INT"; run 300 in.png
    check 130 "$backup" 'Error writing input file.\n' "in.png=cmp -s in.png $stamped" temp=new 'sys.log=tail -n 1 sys.log | grep -q ^fsync'
    # Its folder is taken as found once, through links, and refused where a
    # folder above it is another user's.
    begin 'temporary folder through another user'"'"'s link'; ln -s tmp link && chown -h 65534 link && echo text >in.png
    tmpdir=$dir/link; run 300 in.png; unset tmpdir
    check 1 "$backup" 'Not a valid PNG file.\n' temp=empty
    begin 'temporary folder in a folder of another user'; mkdir -p evil/tmp && chown 65534 evil
    tmpdir=$dir/evil/tmp; run 300 in.png; unset tmpdir
    check 1 'Could not create temporary file.\nrestamp failed.\n' '' in.png=original
    # Held from its deletion on: a handler's second deletion could take a file
    # another program has made under the name meanwhile.
    begin 'signal at the deletion of the temporary file'; cp "$new" in.png
    prefix='strace -o sys.log -qq -e trace=unlink -e inject=unlink:signal=INT'; run 300 in.png
    check 130 '' '' in.png=new temp=absent 'sys.log=[ $(grep -c "^unlink(.*restamp-" sys.log) = 1 ]'
    begin 'temporary file not deleted'; cp "$stamped" in.png
    prefix='strace -o sys.log -qq -e trace=fsync,unlink -e inject=unlink:error=EACCES'; run 300 in.png
    check 1 "$backup" 'Error deleting temporary file.\n' in.png=new temp=new 'sys.log=tail -n 1 sys.log | grep -q ^fsync'
    # An in-place run waits for the lock another program holds, shared or not,
    # and says so. A shorter image is written while it waits.
    begin 'input locked by another program'; mkfifo hold && flock -s in.png -c 'echo >locked && read line <hold' &
    wait_for locked ''
    env TMPDIR=tmp "$RESTAMP" 300 in.png >stdout.crlf 2>stderr.crlf & wait_for stderr.crlf Waiting
    cp "$twice" in.png && echo 1<>hold && wait $!; status=$? && finish
    check 0 'DPI of in.png changed to 300\n' 'Waiting for another program to release in.png.\n' in.png=new temp=absent
    begin 'two runs on one file'; hold fsync 300 in.png; timeout 20 env TMPDIR=tmp "$RESTAMP" 72 in.png >second 2>&1 &
    wait_for second Waiting && resume && wait $!; second=$?
    check 0 'DPI of in.png changed to 300\n' '' 'second=[ $second = 0 ] && grep -q "in.png changed to 72" second' "in.png=cmp -s in.png $stamped"
    begin 'an output run waits for an in-place run on its output'; cp "$png" y.png && hold fsync 72 in.png
    timeout 20 env TMPDIR=tmp "$RESTAMP" 300 y.png in.png >second 2>&1 & wait_for second Waiting
    resume && wait $!; second=$?
    check 0 'DPI of in.png changed to 72\n' '' 'second=[ $second = 0 ]' in.png=new
    # Crossed runs take their locks in one order: the second waits for the first.
    begin 'crossed runs'; cp "$png" a.png && cp "$png" b.png && set -- a b && [ $(stat -c %i a.png) -lt $(stat -c %i b.png) ] || set -- b a
    hold flock 300 $1.png $2.png; timeout 20 "$RESTAMP" 72 $2.png $1.png >second 2>&1 & wait_for second "release $1.png"
    resume && wait $!; second=$?
    check 0 "$1.png copied to $2.png using DPI of 300\n" '' "$2.png=new" "$1.png=cmp -s $1.png $stamped" \
        "second=[ \$second = 0 ] && grep -q 'release $1.png' second"
    for row in 'mv in.png moved.png; [ ! -e in.png ] && cmp -s moved.png "$png"' 'ln -sf other.png link.png; cmp -s in.png "$png"' \
        'echo more >>in.png; [ $(stat -c %s in.png) = 1291 ]' 'chmod 606 in.png; cmp -s in.png "$png"'; do
        begin "input changed during the run: ${row%%;*}"; cp in.png other.png && ln -s in.png link.png
        hold fsync 300 link.png; eval "${row%%;*}"; resume
        check 1 "$backup" "$changed_error" temp=new "in.png=${row#*;}"
    done
    # The temporary file is used through its descriptor alone (the first one
    # free), whatever its name leads to meanwhile; a folder where others could
    # rename it is refused.
    begin 'a file renamed over the temporary file'; cp "$twice" evil.png
    hold fsync 300 in.png 3>&-; fd3=$(readlink /proc/$child/fd/3) && temp0=$(echo "$dir"/tmp/restamp-*.png)
    mv evil.png "$temp0"; resume
    check 0 'DPI of in.png changed to 300\n' '' in.png=new "tmp=[ $fd3 = $temp0 ]"
    begin 'temporary file gone before its deletion'; hold fsync 300 in.png; rm tmp/restamp-*.png; resume
    check 0 'DPI of in.png changed to 300\n' '' in.png=new
    # A temporary folder others could rename in, or the user may not write to.
    for row in '777 0' '755 65534' "755 0 $other"; do
        set -- $row && begin "temporary folder $row"; chmod $1 tmp && chown $2 tmp && shift 2 && prefix="$*"; run 300 in.png
        check 1 'Could not create temporary file.\nrestamp failed.\n' '' in.png=original temp=absent
    done
    # A first stamp whose changed bytes cross a 512-byte block is backed up
    # before the input changes; one within a block is patched at once.
    for row in '446 \276 0' '447 \277 1766'; do
        set -- $row && begin "first stamp, pHYs after a text of $1 bytes"
        text="\0\0\001$2tEXt$(head -c $1 /dev/zero | tr '\0' x)\336\255\276\357"
        after_ihdr "$text$phys72" "$png" >in.png && after_ihdr "$phys300$text" "$png" >whole.png
        hold pwrite64 300 in.png; size=$(stat -c %s tmp/restamp-*.png); resume
        check 0 'DPI of in.png changed to 300\n' '' 'in.png=cmp -s in.png whole.png' "temp=[ $size = $3 ]"
    done
    # A disk is never the output: a loop device shows its file's content.
    begin 'output a loop device over the input'
    if disk=$(losetup -f --show in.png 2>/dev/null); then
        cp "$stamped" other.png && run 300 other.png "$disk"; losetup -d "$disk"
        check 1 'restamp failed.\n' 'Error opening file(s).\n' in.png=original
    else
        echo 'SKIP loop device: this system has none to set up'
    fi
    # Kernel copies fall back to sendfile, then to a buffer, part way through:
    # sendfile fills a FIFO 64 KiB at a time, waiting while it is full.
    begin 'output is a FIFO'; cp "$big" in.png && mkfifo fifo && exec 4<>fifo
    timeout 20 strace -o /dev/null -qq -e inject=sendfile:error=EINVAL:when=3 "$RESTAMP" 300 in.png fifo >stdout.crlf 2>stderr.crlf &
    timeout 10 head -c $(stat -c %s "$work/big-new.png") <&4 >out.png; wait $!; status=$? && exec 4<&- && finish
    check 0 'in.png copied to fifo using DPI of 300\n' '' "out.png=cmp -s out.png $work/big-new.png"
    # Kernel copies refused: the buffer copies, its last piece one byte long.
    begin 'kernel copies refused'; { cat "$png" && printf '\0\3\372\357prVt' && head -c 260851 /dev/zero; } >in.png
    prefix='strace -o /dev/null -qq -e inject=copy_file_range:error=EINVAL -e inject=sendfile:error=EINVAL'; run 300 in.png out.png
    check 0 'in.png copied to out.png using DPI of 300\n' '' 'out.png=after_ihdr "$phys300" in.png | cmp -s - out.png'
    # Overlay file systems: an input in the lower layer is copied up when opened
    # for writing; the same file seen through the upper layer is no other file.
    begin 'input in an overlay lower layer'; mkdir lower upper work merged && mv in.png lower
    if mount -t overlay overlay -o lowerdir=lower,upperdir=upper,workdir=work merged; then
        run 300 merged/in.png; check 0 'DPI of merged/in.png changed to 300\n' '' merged/in.png=new lower/in.png=original
        run 300 merged/in.png upper/in.png; check 1 'restamp failed.\n' "$changed_error" merged/in.png=new
        cd "$work" && umount "$dir/merged"
    else
        echo 'SKIP overlay: this system cannot mount an overlay file system'
    fi
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
    begin 'a path longer than MAX_PATH'; mkdir -p "$long/$long/$long" && mv in.png "$long/$long/$long/$unicode"
    run 300 "$long\\$long\\$long\\$unicode"
    check 0 "DPI of $long\\\\$long\\\\$long\\\\$unicode changed to 300\n" '' "$long/$long/$long/$unicode=new" temp=absent
    begin 'a name no file system takes'; run 300 in.png "$(printf '%0300d' 0).png"
    check 1 'restamp failed.\n' 'Error opening file(s).\n' in.png=original 'output=[ -z "$(find . -name "0*")" ]'
    # Devices are never one file: NUL as input and output is no run in place.
    begin 'NUL as input and output'; run 300 NUL NUL
    check 1 'restamp failed.\n' 'Not a valid PNG file.\n' temp=absent
    # lock_helper holds in.png another program's way (MODE), until release.
    helper_holds() {
        mkfifo hold && { wine "$LOCK_HELPER" in.png "$1" <hold >held & } && exec 3>hold && helper=$!
        wait_for held ready
    }
    release() { # [FILE]: the helper writes FILE's content into in.png, and ends
        [ $# = 0 ] || cat "$1" >&3
        exec 3>&- && wait $helper
    }
    # lock_run MODE ARGS: restamp ARGS in the background while the helper holds
    # in.png's lock, until the run says it waits or ends; notes whether a
    # private rst*.png exists meanwhile.
    lock_run() {
        helper_holds "$1" && shift
        wine "$RESTAMP" "$@" >stdout.crlf 2>stderr.crlf 3>&- &
        pid=$! && wait_for stderr.crlf Waiting
        private=$(find "$wine_temp" -name 'rst*.png' ! -perm /o=r)
    }
    ended() {
        wait $pid
        status=$?
        finish
    }
    other=$work/other.png && cp "$data/pngsuite/ctzn0g04.png" "$other" && after_ihdr "$phys300" "$other" >"$work/other-new.png"
    waiting='Waiting for another program to release in.png.\n'
    begin 'a run waits for an exclusive lock'; lock_run exclusive 300 in.png; release "$other"; ended
    check 0 'DPI of in.png changed to 300\n' "$waiting" 'in.png=cmp -s in.png "$work/other-new.png"' temp=absent
    begin 'Ctrl+C while waiting for a shared lock'; lock_run shared 300 in.png; kill -INT $pid; ended; release
    check 58 '' "$waiting" in.png=original temp=absent 'rst*.png=[ -n "$private" ]' # STATUS_CONTROL_C_EXIT
    begin 'a shared lock lets a run read'; lock_run shared 300 in.png out.png; release; ended
    check 0 'in.png copied to out.png using DPI of 300\n' '' out.png=new

    # An input that another program holds without write sharing fails before
    # anything is written, but for an image that needs no write; the backup
    # notice names a TMP outside the code page.
    begin 'an input held without write sharing'; unicode_tmp; helper_holds deny-write; run 300 in.png; release
    check 1 "$backup" 'Error writing input file.\n' in.png=original temp=empty
    begin 'an input held without write sharing, already right'; cp "$new" in.png && touch -d @0 in.png
    helper_holds deny-write; run 300 in.png; release
    check 0 'DPI of in.png changed to 300\n' '' in.png=new 'in.png=[ $(stat -c %Y in.png) = 0 ]' temp=absent
    echo 'SKIP read-only inputs (attrib +r, ACLs): Wine run as root opens them for writing'

    printf '%s\n' 'SKIP long paths: Wine opens paths of MAX_PATH characters or more without the \\?\ prefix too'
    echo 'SKIP lone surrogates in names: a UTF-8 command line cannot carry them into Wine'
    echo 'SKIP deletion with POSIX semantics: Wine 8 has no FileDispositionInfoEx, so restamp falls back to the classic one'
    echo 'SKIP closing the console, Ctrl+C during the copy-back: Wine gives no console to close, nor a step to stop at'
    echo "SKIP names on a console (WriteConsoleW): the tests run without a console"
    echo "SKIP 128-bit file IDs (ReFS, Dev Drive): Wine's drives have 64-bit ones"
    ;;
pngcheck)
    # An independent checker reads the result of each way of writing it: a pHYs
    # put in, old ones dropped, and a patch after other chunks.
    command -v pngcheck >/dev/null || { echo 'pngcheck is not installed: apt-get install pngcheck' && exit 1; }
    cdun=$data/pngsuite/cdun2c08.png
    for make in 'cp "$png" in.png' 'after_ihdr "$phys72" "$cdun" >in.png' 'cp "$cdun" in.png'; do
        begin "pngcheck: $make"; eval "$make"; run 300 in.png
        check 0 'DPI of in.png changed to 300\n' '' 'in.png=pngcheck -v in.png | grep -c pHYs | grep -qx 1' \
            'in.png=pngcheck -v in.png | grep -q "at offset 0x00025, length 9: 11811x11811 pixels/meter (300 dpi)"'
    done
    ;;
esac

echo "$passed passed, $failed failed"
[ "$failed" = 0 ]

#!/bin/sh
# Black-box tests: runs the built program ($RESTAMP, through $RESTAMP_LAUNCHER when
# set, e.g. wine for restamp.exe) in a fresh folder per case and checks its exit
# status, both streams and the files it leaves. Exits 77 when GROUP cannot run here.
#   cli_test.sh DATA_FOLDER GROUP    (GROUP: basic, posix, windows or pngcheck)
set -u
# The posix group runs with a /var/tmp of its own, in a mount namespace of its
# own: restamp keeps its copies there when the input's folder takes none.
if [ "$2" = posix ] && [ -z "${RESTAMP_OWN_MOUNTS:-}" ]; then
    [ "$(id -u)" = 0 ] || { echo 'SKIP posix: needs root' && exit 77; }
    command -v strace >/dev/null || { echo 'SKIP posix: needs strace' && exit 77; }
    unshare -m true 2>/dev/null || { echo 'SKIP posix: needs mount namespaces (unshare -m)' && exit 77; }
    RESTAMP_OWN_MOUNTS=1 exec unshare -m sh -c 'mount -t tmpfs tmpfs /var/tmp && exec sh "$0" "$@"' "$0" "$@"
fi
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
held='in.png was rewritten before the interrupt took effect.\n'
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
    [ -z "$windows" ] || rm -f "$wine_temp"/rst*.png "$wine_temp"/.[!.]*
    [ -z "${RESTAMP_OWN_MOUNTS:-}" ] || rm -f /var/tmp/.[!.]*
}

run() {
    if [ -n "$windows" ]; then
        # 3>&-: not the end of a held file's pipe
        $prefix wine cmd /c "$windows_env$(winepath -w "$RESTAMP") $*" >stdout.crlf 2>stderr.crlf 3>&-
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

# hold CALL[:when=N] ARGS: starts restamp in the background and returns once it
# is stopped right after its first (or Nth) system call CALL; resume lets it go
# on (past every later CALL) and waits for it.
hold() {
    call=$1 && shift
    strace -o strace.log -qq -e trace="${call%%:*}" -e inject="$call:signal=STOP" \
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
# {temp} the file a run left: its temporary file, or a copy beside the input (or
# in /var/tmp); a STATE is absent, empty, original, new or a shell test.
check() {
    problems=''
    if [ -n "$windows" ]; then
        temp=$(find "$wine_temp" "$dir" -name 'rst*.png' -o -name '.in.png.restamp*' -o -path "$wine_temp/.*") # the case's folder may be TMP
        shown=$([ -z "$temp" ] || winepath -w "$temp" | tr -d '\r' | sed 's/\\/\\\\/g')
    else
        temp=$(find "$dir/tmp" "$dir" ${RESTAMP_OWN_MOUNTS:+/var/tmp} -maxdepth 1 -type f \
            \( -name 'restamp-*' -o -name '.in.png.restamp.png' -o -name '.in.png.restamp-part' -o -path '/var/tmp/.*' \) 2>/dev/null)
        shown=$(echo $temp)
    fi
    [ "$status" = "$1" ] || problems="$problems exit status $status;"
    printf "$2" | sed "s|{temp}|$shown|" >expected
    [ -z "$banner" ] || { head -n 1 stdout | grep -q . && problems="$problems banner missing;"; }
    [ -z "$banner" ] || { sed -n 2p stdout | grep -q '^PNG file DPI changer (build time ... ... .. ..:..:.. ....)$' &&
        sed -n 3p stdout | grep -q '^restamp [0-9]*\.[0-9]*\.[0-9]*, Copyright'; } || problems="$problems bad banner;"
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
    # A forgotten DPI (restamp *.png): a DPI that can only be a file name is
    # refused before anything is opened. A folder named like a number is no file.
    for files in '001.png 002.png 003.png' '72dpi in.png'; do
        begin "DPI forgotten: $files"; cp in.png 001.png && cp in.png 002.png && cp in.png 003.png && cp in.png 72dpi
        run $files; check 1 'restamp failed.\n' "${files%% *} is a file name, not a DPI.\n" 003.png=original temp=absent
    done
    begin 'output in a folder named 300'; mkdir 300; run 300 in.png 300/out.png
    check 0 'in.png copied to 300/out.png using DPI of 300\n' '' 300/out.png=new
    begin 'explicit output'; run ' +300x' in.png out.png
    check 0 'in.png copied to out.png using DPI of 300\n' '' in.png=original out.png=new
    for dpi in 1 54546084; do
        begin "DPI $dpi"; run $dpi in.png out.png; check 0 "in.png copied to out.png using DPI of $dpi\n" '' in.png=original
    done
    begin 'in place'; run 300 in.png; check 0 'DPI of in.png changed to 300\n' '' in.png=new temp=absent
    begin 'output is a hard link to the input'; ln in.png out.png; run 300 in.png out.png
    check 0 'DPI of in.png changed to 300\n' '' in.png=new out.png=new temp=absent
    begin 'a short hidden name, in place'; mv in.png .a.png; run 300 .a.png; check 0 'DPI of .a.png changed to 300\n' '' .a.png=new
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
    # A name of a copy's form is never taken for an input or an output.
    for files in .x.png.restamp.png 'in.png .x.png.restamp-part'; do
        begin "a copy's name: $files"; cp in.png .x.png.restamp.png; run 300 $files
        case $files in *' '*) report='restamp failed.\n' ;; *) report=$backup ;; esac
        check 1 "$report" 'Error opening file(s).\n' .x.png.restamp.png=original .x.png.restamp-part=absent
    done
    begin 'no temporary folder'
    if [ -n "$windows" ]; then
        windows_env='set TMP=Z:\no\such\folder&& set TEMP=Z:\no\such\folder&& ' missing='Z:\\no\\such\\folder\\'
    else
        rmdir tmp && missing=$dir/tmp
    fi
    run 300 in.png; check 1 'Could not create temporary file.\nrestamp failed.\n' \
        "Cannot use $missing as the temporary folder: no such folder.\n" in.png=original
    # Re-stamping an image whose only pHYs follows IHDR writes its 13 bytes alone.
    begin 're-stamp, same DPI: nothing written'; cp "$new" in.png && touch -d @0 in.png; run 300 in.png
    check 0 'DPI of in.png changed to 300\n' '' in.png=new temp=absent 'in.png=[ $(stat -c %Y in.png) = 0 ]'
    begin 're-stamp, new DPI'; cp "$stamped" in.png; run 300 in.png
    check 0 'DPI of in.png changed to 300\n' '' in.png=new temp=absent
    ;;
posix)
    export ASAN_OPTIONS=detect_leaks=0 # LeakSanitizer cannot run under strace
    other='setpriv --reuid=65534 --regid=65534 --clear-groups'
    twice=$work/twice.png && after_ihdr "$phys72" "$new" >"$twice" # shrinks: a copy-back left uncut is damaged
    big=$work/big.png && { cat "$png" && printf '\0\3\0\0prVt' && head -c 196612 /dev/zero; } >"$big" # a 192 KiB chunk
    after_ihdr "$phys300" "$big" >"$work/big-new.png"
    # pHYs after a text chunk: a patch whose bytes cross a 512-byte block.
    text="\0\0\001\277tEXt$(head -c 447 /dev/zero | tr '\0' x)\336\255\276\357"
    wide=$work/wide.png && after_ihdr "$text$phys72" "$png" >"$wide" && after_ihdr "$phys300$text" "$png" >"$work/wide-new.png"
    begin 'in place keeps owner and permission bits, through a symbolic link'
    chown 1:1 in.png && chmod 640 in.png && chmod 700 tmp && ln -s in.png link.png; run 300 link.png
    check 0 'DPI of link.png changed to 300\n' '' in.png=new 'in.png=[ "$(stat -c %u:%g:%a in.png)" = 1:1:640 ]' 'link.png=[ -L link.png ]'
    begin 'group-writable input of another owner'; chown 1:65534 in.png && chmod 664 in.png
    prefix='setpriv --reuid=65533 --regid=65533 --groups=65534'; run 300 in.png
    check 0 'DPI of in.png changed to 300\n' '' in.png=new 'in.png=[ "$(stat -c %u:%a in.png)" = 1:664 ]' temp=absent
    # (beside it the image of a run that never began, which goes)
    begin 'input the user may not write'; chmod 644 in.png && cp "$new" .in.png.restamp.png && chown 65534 . .in.png.restamp.png
    prefix=$other; run 300 in.png
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
    # The program's own standard output or error is never its output, nor its
    # input in place, and gets no text at all: the text would land in the file.
    for row in 'stdout in.png' stdout 'stderr in.png' stderr; do
        set -- $row && begin "standard $1 as the ${2:+output}${2:-input in place}"; run 300 ${2:-} $1.crlf
        report=$backup && [ $# = 1 ] || report='restamp failed.\n'
        if [ $1 = stdout ]; then banner='' report='' error='Error opening file(s).\n'; else error=''; fi
        check 1 "$report" "$error" "$1.crlf=empty"
    done
    # A device is not locked: it has nothing to guard, and anyone may lock it.
    begin 'output is /dev/null, as standard error, locked by another program'
    mkfifo hold && : >locked && chmod 666 locked && setpriv --reuid=65534 flock /dev/null -c 'echo >locked && read line <hold' &
    wait_for locked ''
    timeout 10 "$RESTAMP" 300 in.png /dev/null >stdout.crlf 2>/dev/null; status=$? && echo 1<>hold && : >stderr.crlf && finish
    check 0 'in.png copied to /dev/null using DPI of 300\n' ''
    # A copy that no place takes for sure stays in the temporary file.
    begin 'backup not durable'; prefix='strace -o /dev/null -qq -e inject=fsync:error=EIO'; run 300 in.png
    check 1 "$backup" 'Error writing output file.\n' in.png=original temp=new
    begin 'write-back not durable, standard error closed'; prefix='strace -o /dev/null -qq -e inject=fsync:error=EIO:when=3'
    env TMPDIR="$dir/tmp" $prefix "$RESTAMP" 300 in.png >stdout.crlf 2>&-; status=$? && : >stderr.crlf && finish
    check 1 "$backup" '' temp=new # no message of ours in a file that took its place
    # With all three closed, the files restamp opens do not take their places;
    # nor where there is no /dev/null to put there (a container's bare /dev).
    begin 'standard streams closed'; echo text >in.png
    env TMPDIR="$dir/tmp" "$RESTAMP" 300 in.png <&- >&- 2>&-; status=$? banner='' && : >stdout.crlf && : >stderr.crlf && finish
    check 1 '' '' 'in.png=[ "$(cat in.png)" = text ]'
    begin 'no /dev/null, standard input closed'
    unshare -m sh -c 'mount -t tmpfs tmpfs /dev && exec "$@"' sh strace -o sys.log -qq -e trace=openat \
        env TMPDIR=tmp "$RESTAMP" 300 in.png <&- >stdout.crlf 2>stderr.crlf; status=$? && finish
    check 0 'DPI of in.png changed to 300\n' '' in.png=new temp=absent 'sys.log=! grep -q "restamp-.* = [0-2]$" sys.log'
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
    # The input's own file system is full: the copy goes to /var/tmp, and the
    # input, a 4090-byte page that would grow into a second one, stays whole.
    begin 'input file system full'; mkdir disk && mount -t tmpfs -o size=8k tmpfs disk
    { cat "$png"; printf '\0\0\012\350prVt' && head -c 2796 /dev/zero; } >disk/in.png && chmod 604 disk/in.png
    after_ihdr "$phys300" disk/in.png >whole.png && cp disk/in.png before.png && head -c 4096 /dev/zero >disk/.filler
    run 300 disk/in.png
    check 1 "$backup" 'Error writing input file.\n' 'temp=cmp -s "$temp" whole.png' 'disk/in.png=cmp -s disk/in.png before.png' \
        "named=[ \$temp = /var/tmp/.$(stat -c %d-%i disk/in.png).restamp.png ]"
    cd "$work" && umount "$dir/disk"
    # Every signal that ends a program: before the write-back the partial files
    # go and the input stays; from the write-back (copied or patched) on it is
    # held until the input is whole and the files gone (all synced first), and
    # the run then ends without its success line.
    for signal in INT:130 USR1:138 XCPU:152 ABRT:134 64:192; do
        for row in "pwrite64:when=1 $png original 0" "copy_file_range $twice new 3" "pwrite64 $stamped new 1"; do
            set -- $row
            begin "signal ${signal%:*} at $1"; cp "$2" in.png
            prefix="strace -o sys.log -qq -e trace=fsync,${1%:*} -e inject=$1:signal=${signal%:*}"; run 300 in.png
            sed -i '/^User defined\|^CPU time\|^Real-time\|^Abort/d' stderr # the shell's word on the signal
            [ $3 = new ] && said=$held || said=''
            check ${signal#*:} '' "$said" in.png=$3 temp=absent "sys.log=[ \$(grep -c ^fsync sys.log) = $4 ]"
        done
    done
    begin 'a fault sent during the copy-back'; cp "$twice" in.png
    # (A sanitizer build would report the sent fault as its own.)
    prefix="env ASAN_OPTIONS=${ASAN_OPTIONS:+$ASAN_OPTIONS:}handle_segv=0"
    prefix="$prefix strace -o /dev/null -qq -e inject=copy_file_range:signal=SEGV"; run 300 in.png
    sed -i '/^Segmentation/d' stderr && check 139 '' "$held" in.png=new temp=absent
    # Standard error full: the line about the held interrupt is left out.
    begin 'an interrupt held, standard error full'; cp "$twice" in.png && mkfifo pipe && exec 4<>pipe
    dd if=/dev/zero bs=65536 count=1 status=none >&4
    strace -f -o /dev/null -qq -e inject=copy_file_range:signal=INT timeout -s KILL 10 env TMPDIR=tmp "$RESTAMP" 300 \
        in.png >stdout.crlf 2>&4; status=$? && exec 4<&- && : >stderr.crlf && finish
    check 130 '' '' in.png=new temp=absent
    # The interrupt comes with the first handler set after the file is made
    # (counted in a trial run, as a sanitizer's runtime sets handlers too).
    begin 'signal while the temporary file is made'
    TMPDIR=tmp strace -o sys.log -qq -e trace=rt_sigaction,openat "$RESTAMP" 300 in.png >/dev/null && cp "$png" in.png
    when=$(awk '/restamp-/ { made = 1 } /^rt_sigaction/ { n++; if (made) { print n; exit } }' sys.log)
    prefix="strace -o /dev/null -qq -e inject=rt_sigaction:signal=INT:when=$when"
    run 300 in.png; check 130 '' '' in.png=original temp=absent
    begin 'an interrupt ignored from the start'
    prefix='strace -o /dev/null -qq -e inject=pwrite64:signal=INT:when=1 env --ignore-signal=INT'; run 300 in.png
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
    # (writes fail in the output's first bytes, the new pHYs, before an old
    # one and in a kernel copy; in place, the commit of the copy).
    for row in "o O in.png $png newfstatat:when=4" "o R in.png $png newfstatat:when=5" "o C in.png $png newfstatat:when=6" \
        "o C in.png $png newfstatat:when=7" "o W out.png $png close" "o W out.png $png pwrite64:when=1 copy_file_range sendfile" \
        "o W out.png $png pwrite64:when=2" "o W out.png $data/pngsuite/cdun2c08.png pwrite64:when=3" \
        "o W out.png $big pwrite64:when=5 copy_file_range sendfile" \
        "o R in.png $png pread64:when=2" "o R in.png $png pread64:when=3" "o R in.png $big copy_file_range sendfile pread64:when=5" \
        "i R in.png $png pread64" "i C in.png $png newfstatat:when=6" "i O in.png $png flock" \
        "i W .in.png.restamp-part $png renameat2"; do
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
    # again; a span it cannot read (the sixth read) is no patch, and the image
    # is rewritten whole; a file system without an atomic rename that never
    # replaces commits the copy by a new link, and nothing is left beside.
    eintr=error=EINTR:when=1
    for row in "$stamped in.png i openat,flock,pread64,pwrite64:$eintr" "$twice in.png i fallocate,ftruncate:$eintr" \
        "$png out.png o openat,pwrite64,ftruncate:$eintr" "$png in.png o pread64:$eintr" "$stamped in.png i pread64:error=EIO:when=6" \
        "$png .in.png.restamp-part i renameat2:error=EINVAL"; do
        set -- $row && begin "$4 on $2"; cp "$1" in.png
        prefix="strace -o /dev/null -qq -P $dir/$2 -e inject=$4"
        if [ $3 = o ]; then
            run 300 "$dir/in.png" "$dir/out.png"; check 0 "$dir/in.png copied to $dir/out.png using DPI of 300\n" '' out.png=new
        else
            run 300 "$dir/in.png"; check 0 "DPI of $dir/in.png changed to 300\n" '' in.png=new temp=absent
        fi
    done
    # A patch that fails, or a temporary file that cannot be deleted: the
    # temporary file then holds the image, synced. An interrupt held meanwhile
    # ends the run once the notice is out.
    begin 're-stamp, write fails'; cp "$stamped" in.png
    prefix='strace -o sys.log -e quiet=all -e signal=none -e trace=fsync,pwrite64'
    prefix="$prefix -e inject=pwrite64:error=EIO:signal=INT:when=1"; run 300 in.png
    check 130 "$backup" 'Error writing input file.\n' "in.png=cmp -s in.png $stamped" temp=new 'sys.log=tail -n 1 sys.log | grep -q ^fsync'
    # A temporary folder is refused, saying why, only where another user may
    # rename the file it holds (a folder writable by others without the sticky
    # bit, or another user's, itself or above it); group write, an ACL and, for
    # root, another user's folder are fine.
    for row in 'chmod 777 tmp;;others may rename files in {dir}/tmp' 'chmod 755 tmp;other;not writable' \
        'chown 1 tmp;other;owned by another user' 'tmpdir={dir}/in.png;;not a folder' \
        'mkdir -p evil/tmp && chown 65534 evil && chown 65533 evil/tmp && tmpdir={dir}/evil/tmp;group;others may rename files in {dir}/evil' \
        'chown 65534 tmp && chmod 775 tmp;other;' 'chown 0:65534 tmp && chmod 2770 tmp;group;' \
        'chmod 770 tmp && setfacl -m u:65534:rwx tmp;other;' 'chown 1000 tmp;;'; do
        case $row in *setfacl*) command -v setfacl >/dev/null || { echo 'SKIP an ACL: needs setfacl' && continue; } ;; esac
        begin "temporary folder: ${row%%;*}"; row=$(echo "$row" | sed "s|{dir}|$dir|g") && eval "${row%%;*}"
        case $row in *';other;'*) prefix=$other ;; *';group;'*) prefix='setpriv --reuid=65533 --regid=65533 --groups=65534' ;; esac
        folder=${tmpdir-$dir/tmp} && run 300 in.png && unset tmpdir
        if [ -n "${row##*;}" ]; then
            check 1 'Could not create temporary file.\nrestamp failed.\n' "Cannot use $folder as the temporary folder: ${row##*;}.\n" in.png=original
        else
            check 0 'DPI of in.png changed to 300\n' '' in.png=new temp=absent
        fi
    done
    # A patch across blocks that fails: the image, made from the input and the
    # patch, is committed in place of the journal and named; where it cannot
    # be made, the journal stays named, an output run names it, and the next
    # run in place finishes from it.
    for row in "when=2 .in.png.restamp.png cmp -s .in.png.restamp.png $work/wide-new.png" \
        "when=2+ .in.png.restamp-journal $RESTAMP 72 in.png out.png 2>&1 | grep -q 'left a journal of in.png' &&
        env TMPDIR=tmp $RESTAMP 300 in.png >/dev/null && cmp -s in.png $work/wide-new.png"; do
        set -- $row && begin "wide patch fails, $1"; cp "$wide" in.png
        prefix="strace -o /dev/null -qq -e inject=pwrite64:error=EIO:$1"; run 300 in.png
        check 1 "restamp failed.\nIf your file is missing or damaged, a backup copy may exist at $dir/$2\n" \
            'Error writing input file.\n' "in.png=cmp -s in.png $wide" "files=[ \$(ls -A | grep -c restamp) = 1 ]" "$2=${row#* * }"
    done
    # Held from its deletion on: a handler's second deletion could take a file
    # another program has made under the name meanwhile.
    begin 'signal at the deletion of the temporary file'; cp "$new" in.png
    prefix='strace -o sys.log -qq -e trace=unlink -e inject=unlink:signal=INT'; run 300 in.png
    check 130 '' "$held" in.png=new temp=absent 'sys.log=[ $(grep -c "^unlink(.*restamp-" sys.log) = 1 ]'
    begin 'temporary file not deleted'; cp "$stamped" in.png
    prefix='strace -o sys.log -qq -e trace=fsync,unlink -e inject=unlink:error=EACCES'; run 300 in.png
    check 1 "$backup" 'Error deleting temporary file.\n' in.png=new temp=new 'sys.log=tail -n 1 sys.log | grep -q ^fsync'
    # An in-place run waits for the lock another program holds, shared or not,
    # and for its lease, and says so. A shorter image is written while it waits.
    begin 'input locked by another program'; mkfifo hold && flock -s in.png -c 'echo >locked && read line <hold' &
    wait_for locked ''
    env TMPDIR=tmp "$RESTAMP" 300 in.png >stdout.crlf 2>stderr.crlf & wait_for stderr.crlf Waiting
    cp "$twice" in.png && echo 1<>hold && wait $!; status=$? && finish
    check 0 'DPI of in.png changed to 300\n' 'Waiting for another program to release in.png.\n' in.png=new temp=absent
    begin 'input leased by another program'
    perl -e 'open(my $f, "<", "in.png") or die; $SIG{IO} = sub { exit }; fcntl($f, 1024, 0) or die; $| = 1; print "ready\n"; sleep 20' >leased &
    wait_for leased ready; run 300 in.png
    check 0 'DPI of in.png changed to 300\n' 'Waiting for another program to release in.png.\n' in.png=new
    begin 'two runs on one file'; hold fsync 300 in.png; timeout 20 env TMPDIR=tmp "$RESTAMP" 72 in.png >second 2>&1 &
    wait_for second Waiting && resume && wait $!; second=$?
    check 0 'DPI of in.png changed to 300\n' '' 'second=[ $second = 0 ] && grep -q "in.png changed to 72" second' "in.png=cmp -s in.png $stamped"
    begin 'an output run waits for an in-place run on its output'; cp "$png" y.png && hold fsync 72 in.png
    timeout 20 env TMPDIR=tmp "$RESTAMP" 300 y.png in.png >second 2>&1 & wait_for second Waiting
    resume && wait $!; second=$?
    check 0 'DPI of in.png changed to 72\n' '' 'second=[ $second = 0 ]' in.png=new
    # An output run looks at its input only under its lock: a run from a new
    # output of another, which it finds empty, waits for that run to write it.
    begin 'lock before look'; hold copy_file_range:when=1 300 in.png n.png
    timeout 20 "$RESTAMP" 300 n.png b.png >second 2>&1 & wait_for second Waiting
    resume && wait $!; second=$?
    check 0 'in.png copied to n.png using DPI of 300\n' '' n.png=new b.png=new 'second=[ $second = 0 ]'
    # The input is checked again once both are locked; a new output that was
    # never written goes again.
    begin 'input no PNG once locked'; hold flock:when=3 300 in.png new.png; echo text >in.png; resume
    check 1 'restamp failed.\n' 'Not a valid PNG file.\n' new.png=absent
    # Crossed runs take their locks in one order: the second waits for the first.
    begin 'crossed runs'; cp "$png" a.png && cp "$png" b.png && set -- a b && [ $(stat -c %i a.png) -lt $(stat -c %i b.png) ] || set -- b a
    hold flock:when=3 300 $1.png $2.png; timeout 20 "$RESTAMP" 72 $2.png $1.png >second 2>&1 & wait_for second "release $1.png"
    resume && wait $!; second=$?
    check 0 "$1.png copied to $2.png using DPI of 300\n" '' "$2.png=new" "$1.png=cmp -s $1.png $stamped" \
        "second=[ \$second = 0 ] && grep -q 'release $1.png' second"
    for row in 'mv in.png moved.png; [ ! -e in.png ] && cmp -s moved.png "$png"' 'ln -sf other.png link.png; cmp -s in.png "$png"' \
        'echo more >>in.png; [ $(stat -c %s in.png) = 1291 ]' 'chmod 606 in.png; cmp -s in.png "$png"'; do
        begin "input changed during the run: ${row%%;*}"; cp in.png other.png && ln -s in.png link.png
        hold fsync 300 link.png; eval "${row%%;*}"; resume
        check 1 "$backup" "$changed_error" temp=empty "in.png=${row#*;}"
    done
    # Names of the copies that others hold: a place where one lies takes no copy
    # (a link is not followed, another user's file not written). With no place
    # left, the temporary file holds the image, used through its descriptor
    # alone (the first one free), whatever its name leads to meanwhile.
    begin 'copy names held by others, a file renamed over the temporary file'; cp "$twice" evil.png && echo keep >victim
    planted=/var/tmp/.$(stat -c %d-%i in.png).restamp.png && ln -s victim .in.png.restamp-part && : >"$planted"
    : >.in.png.restamp.png && chown 65534 .in.png.restamp.png "$planted"
    hold fsync 300 in.png 3>&-; fd3=$(readlink /proc/$child/fd/3); temp0=$(echo "$dir"/tmp/restamp-*.png)
    mv evil.png "$temp0"; resume
    check 0 'DPI of in.png changed to 300\n' '' in.png=new "tmp=[ $fd3 = $temp0 ]" 'victim=[ "$(cat victim)" = keep ]' \
        "planted=[ ! -s .in.png.restamp.png ] && [ ! -s $planted ]"
    begin 'temporary file gone before its deletion'; hold fsync 300 in.png; rm tmp/restamp-*.png; resume
    check 0 'DPI of in.png changed to 300\n' '' in.png=new
    # The copy is synced and committed, and the commit synced, before the
    # input's first write; a patch within one block needs none.
    for row in "$png srfw" "$wide srfw" "$stamped w"; do
        set -- $row && begin "order of writes, $(basename $1)"; cp "$1" in.png
        prefix='strace -o sys.log -qq -e trace=openat,fsync,renameat2,pwrite64,copy_file_range,fallocate,ftruncate'
        run 300 in.png; check 0 'DPI of in.png changed to 300\n' '' temp=absent "sys.log=awk -v want=$2 '
            /restamp-part\", O_RDWR/ { part = \$NF } /\"in.png\", O_RDWR/ { input = \$NF } /O_DIRECTORY/ { folder = \$NF }
            \$0 ~ \"^fsync\\\\(\" part \"\\\\)\" { step = step \"s\" } /^renameat2/ { step = step \"r\" }
            folder != \"\" && \$0 ~ \"^fsync\\\\(\" folder \"\\\\)\" { step = step \"f\"; folder = \"\" }
            \$0 ~ \"^(pwrite64|fallocate|ftruncate)\\\\(\" input \",\" || \$0 ~ \", \" input \", \\\\[\" { step = step \"w\" }
            END { exit index(step, want) != 1 }' sys.log"
    done
    # Kill sweep: SIGKILL at every system call after the temporary file exists,
    # in a full rewrite, a wide patch and a narrow one. Where the kill falls
    # between the input's first write and its sync, power loss may also have
    # torn the input at a 512-byte boundary (new bytes before, old after). Then
    # a reboot empties TMPDIR. In every state the input is old or new, or a
    # whole image lies beside it, or a journal beside it finishes it; the next
    # run then ends with the input new and nothing beside it, or fails with the
    # input as it was (and damaged), naming the whole image beside it, which an
    # output run does not read past, and which copied over the input ends the
    # matter.
    states=0 damaged=0 refused=0
    for input in "$png" "$wide" "$stamped"; do
        begin "kill sweep, $(basename "$input")"; cp "$input" in.png && env TMPDIR=tmp "$RESTAMP" 300 in.png >/dev/null
        mv in.png whole.png && cp "$input" in.png && strace -o trial.log -qq env TMPDIR=tmp "$RESTAMP" 300 in.png >/dev/null
        awk '/^[a-z0-9_]+\(/ && /restamp-.*O_RDWR/ { made = 1 } made && /^[a-z0-9_]+\(/ {
            name = $0; sub(/\(.*/, "", name); if ($0 ~ /"in.png", O_RDWR/) input = $NF
            if (input != "" && ($0 ~ "^(pwrite64|fallocate|ftruncate)\\(" input "," || $0 ~ ", " input ", \\[")) torn = "512 1024"
            print name ":when=" ++count[name], torn; if ($0 ~ "^fsync\\(" input "\\)") torn = "" }' trial.log >calls
        while read -r call torn; do
            cp "$input" in.png && rm -f tmp/* .in.png.restamp*
            strace -o /dev/null -qq -e inject="$call:signal=KILL" env TMPDIR=tmp "$RESTAMP" 300 in.png >/dev/null 2>&1
            cp in.png killed.png && rm -rf killed && mkdir killed && { ls -A | grep restamp | xargs -r cp -a -t killed; }
            for k in 0 $torn; do # the input keeps its inode, which a journal records
                states=$((states + 1)) && rm -f tmp/* .in.png.restamp* && cp -a killed/. . && cat killed.png >in.png
                [ $k = 0 ] || { head -c $k whole.png && tail -c +$((k + 1)) "$input" && head -c 64 /dev/zero; } |
                    head -c $(stat -c %s whole.png) >in.png
                cmp -s in.png "$input" || cmp -s in.png whole.png && intact=yes || { intact='' && damaged=$((damaged + 1)); }
                cp in.png before.png && env TMPDIR=tmp "$RESTAMP" 300 in.png >next 2>&1; next=$?
                if [ $next = 0 ] && cmp -s in.png whole.png && [ -z "$(ls -A | grep restamp)" ]; then continue; fi
                refused=$((refused + 1))
                [ -z "$intact" ] && grep -q "left a copy of in.png at $dir/.in.png.restamp.png" next && cmp -s in.png before.png &&
                    cmp -s .in.png.restamp.png whole.png && ! "$RESTAMP" 96 in.png out.png >/dev/null 2>&1 && [ ! -e out.png ] &&
                    cp .in.png.restamp.png in.png && env TMPDIR=tmp "$RESTAMP" 300 in.png >/dev/null && [ -z "$(ls -A | grep restamp)" ] ||
                    echo "$call, torn at $k: $(cat next)" >>failures
            done
        done <calls
        cat failures 2>/dev/null | grep -v "^PNG\|^restamp 1\|^---\|^$" | head -20
        status=0 && : >stdout && : >stderr && banner=''
        check 0 '' '' 'failures=[ ! -e failures ]' "calls=[ $(wc -l <calls) -gt 40 ]"
    done
    echo "kill sweep: $states states, $damaged damaged, $refused refused naming a whole copy"
    # A journal that no longer fits the input (another program wrote it after
    # an interrupted patch) is kept, and the input left alone.
    begin 'the input changed after an interrupted patch'; cp "$wide" in.png
    strace -o /dev/null -qq -e inject=pwrite64:signal=KILL:when=2 env TMPDIR=tmp "$RESTAMP" 300 in.png >/dev/null 2>&1
    echo more >>in.png && cp in.png before.png && rm -f tmp/*; run 300 in.png
    check 1 "$backup" "in.png changed after an interrupted run: the run's journal at $dir/.in.png.restamp-journal no longer fits it.
To keep the file as it is, delete the journal.\n" 'in.png=cmp -s in.png before.png' '.in.png.restamp-journal=[ -s .in.png.restamp-journal ]'
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
    # Devices are never opened, as the name alone tells (Wine's COM1 leads to
    # a PNG file here, which an open device would read and write), but for NUL
    # as an output; nor is a file's stream, which shares its identity, and
    # none is made.
    devices=${WINEPREFIX:-$HOME/.wine}/dosdevices && com1=$(readlink "$devices/com1") && cp "$png" "$work/com1.png"
    ln -sfn "$work/com1.png" "$devices/com1"
    for files in AUX COM1 CON 'AUX out.png' 'COM1 out.png' 'CON out.png' 'NUL NUL' 'in.png in.png:x' in.png:x; do
        begin "$files"; prefix='timeout 20'; run 300 $files
        case $files in *' '*) report='restamp failed.\n' ;; *) report=$backup ;; esac
        check 1 "$report" 'Error opening file(s).\n' in.png=original "$work/com1.png=original" \
            'output=[ -z "$(ls | grep -e : -e out.png)" ]'
    done
    ln -sfn "$com1" "$devices/com1"
    begin 'NUL as the output'; run 300 in.png NUL; check 0 'in.png copied to NUL using DPI of 300\n' ''
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
    begin 'Ctrl+C while an output run waits for its input'; lock_run exclusive 300 in.png new.png; kill -INT $pid; ended
    release; check 58 '' "$waiting" in.png=original new.png=absent
    # The size first: another program's view of the input refuses a shorter
    # image before any byte of the input changes.
    begin 'a shorter image, the input mapped by another program'; after_ihdr "$phys72" "$new" >in.png && cp in.png before.png
    helper_holds map; run 300 in.png; release
    if [ $status = 0 ]; then
        echo 'SKIP a mapped input made shorter: Wine does not refuse it (ERROR_USER_MAPPED_FILE)'
    else
        check 1 "$backup" 'Error writing input file.\n' 'in.png=cmp -s in.png before.png' temp=new
    fi

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
    echo 'SKIP alternate data streams, zero file IDs and volume serials (FAT, network shares): Wine has none'
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

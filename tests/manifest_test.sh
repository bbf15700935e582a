#!/bin/sh
# Checks that restamp.exe embeds its application manifest as resource 1 of type
# RT_MANIFEST (0x18): run as the invoking user, no UI access, Windows 7 to 11.
#   manifest_test.sh OBJDUMP RESTAMP_EXE
set -u
manifest=$(strings "$2" | sed -n '/<assembly /,/<\/assembly>/p') failed=0
fail() { echo "FAIL $1" && failed=1; }
"$1" -p "$2" | grep -A2 'Entry: ID: 0x000018,' | grep -q 'Entry: ID: 0x000001,' || fail 'no manifest resource numbered 1'
[ "$(echo "$manifest" | grep -c requestedExecutionLevel)" = 1 ] || fail 'not one execution level'
for line in '<requestedExecutionLevel level="asInvoker" uiAccess="false"/>' \
    35138b9a-5d96-4fbd-8e2d-a2440225f93a 4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38 \
    1f676c76-80e1-4239-95bb-83d0f6d0da78 8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a; do
    case $line in '<'*) ;; *) line="<supportedOS Id=\"{$line}\"/>" ;; esac
    echo "$manifest" | grep -Fq "$line" || fail "the manifest lacks $line"
done
exit $failed

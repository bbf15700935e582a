#!/bin/sh
# Checks that restamp.exe embeds its application manifest as resource 1 of type
# RT_MANIFEST (0x18): run as the invoking user, no UI access, Windows 7 to 11.
#   manifest_test.sh OBJDUMP RESTAMP_EXE
set -u
work=$(mktemp -d) && trap 'rm -rf "$work"' EXIT
"$1" -p "$2" | grep -A2 'Entry: ID: 0x000018,' >"$work/resource"
strings "$2" | sed -n '/<assembly /,/<\/assembly>/p' >"$work/manifest"
passed=0 failed=0
expect() { # expect DESCRIPTION: the last command's status
    if [ $? = 0 ]; then passed=$((passed + 1)); else failed=$((failed + 1)) && echo "FAIL $1"; fi
}
grep -q 'Entry: ID: 0x000001,' "$work/resource"; expect 'a manifest resource numbered 1'
grep -Fq '<requestedExecutionLevel level="asInvoker" uiAccess="false"/>' "$work/manifest"; expect 'runs as the invoking user'
[ "$(grep -c requestedExecutionLevel "$work/manifest")" = 1 ]; expect 'asks for one execution level only'
for os in 35138b9a-5d96-4fbd-8e2d-a2440225f93a 4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38 \
    1f676c76-80e1-4239-95bb-83d0f6d0da78 8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a; do
    grep -Fq "<supportedOS Id=\"{$os}\"/>" "$work/manifest"; expect "supports $os"
done
echo "$passed passed, $failed failed"
[ "$failed" = 0 ]

#!/usr/bin/env bash
# What every program and script that the README names answers: --help prints
# its usage on standard output and exits 0; a program also answers --version
# with "NAME VERSION"; an unknown option gets one line on standard error and
# exit 2, and nothing starts.
#
#   check-options.sh VERSION PROGRAM... -- SCRIPT...
set -u
version=$1
shift
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failed=0
fail() {
    echo "FAIL: $*"
    failed=1
    ok=""
}

# run PATH ARGS...: exit code in $rc, output in $work/out and $work/err.
run() {
    rc=0
    timeout 20 "$@" </dev/null >"$work/out" 2>"$work/err" || rc=$?
}

check() { # PATH, program|script
    local path=$1 kind=$2 name
    name=$(basename "$path")
    ok=1
    run "$path" --help
    [ "$rc" -eq 0 ] || fail "$name --help: exit $rc"
    grep -qi 'usage' "$work/out" || fail "$name --help: no usage on standard output"
    [ -s "$work/err" ] && fail "$name --help: wrote to standard error: $(head -n 3 "$work/err")"

    if [ "$kind" = program ]; then
        run "$path" --version
        [ "$rc" -eq 0 ] || fail "$name --version: exit $rc"
        [ "$(cat "$work/out")" = "$name $version" ] ||
            fail "$name --version: \"$(head -n 3 "$work/out")\", not \"$name $version\""
    fi

    run "$path" --no-such-option
    [ "$rc" -eq 2 ] || fail "$name --no-such-option: exit $rc, not 2"
    [ -s "$work/out" ] && fail "$name --no-such-option: wrote to standard output"
    [ "$(wc -l <"$work/err")" -eq 1 ] && grep -q -- '--no-such-option' "$work/err" ||
        fail "$name --no-such-option: not one line naming it: $(head -n 5 "$work/err")"
    [ -z "$ok" ] || echo "ok: $name"
}

kind=program
for path in "$@"; do
    if [ "$path" = -- ]; then
        kind=script
        continue
    fi
    check "$path" "$kind"
done
exit $failed

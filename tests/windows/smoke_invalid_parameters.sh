#!/usr/bin/env bash
# Runs downloader.exe under Wine with rejected and accepted option sets and reads what each run
# added to downloader_log.txt in the prefix's temporary directory.
#
#   smoke_invalid_parameters.sh DOWNLOADER_EXE SHORT_BOUNDS_EXE [WINE_RUN]
#
# SHORT_BOUNDS_EXE is the build with the retry schedule scaled down: an accepted run goes on to
# a manifest server that refuses every connection, and is paced until its deadline.
# WINE_PREFIX_DIR should name a prefix that no other test uses at the same time.
set -euo pipefail

exe=$1
short_bounds_exe=$2
wine_run=${3:-$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)/scripts/wine-run}
rejection=$'Invalid parameters.\n'

# The temporary directory as Windows reports it, mapped back to a Linux path.
windows_temp=$("$wine_run" cmd.exe /c 'echo %TEMP%' | tr -d '\r')
temp_dir=$("$wine_run" winepath.exe -u "$windows_temp" | tr -d '\r')
log="${temp_dir%/}/downloader_log.txt"
echo "log: $log"

failures=0
log_size() { if [ -f "$log" ]; then stat -c %s "$log"; else echo 0; fi; }

# Runs the program with the given arguments; prints what the run appended to the log.
run_and_read_log() {
    local program=$1 before status
    shift
    before=$(log_size)
    status=0
    "$wine_run" "$program" "$@" </dev/null || status=$?
    if [ "$status" -ne 0 ]; then
        echo "FAIL: exit code $status for: $*" >&2
        failures=$((failures + 1))
    fi
    if [ -f "$log" ]; then
        tail -c +"$((before + 1))" "$log"
    fi
}

expect_rejected() {
    local added
    added=$(run_and_read_log "$exe" "$@"; echo x)
    added=${added%x}
    if [ "$added" != "$rejection" ]; then
        echo "FAIL: for [$*] the log gained $(printf '%q' "$added") instead of one rejection" >&2
        failures=$((failures + 1))
    else
        echo "ok: rejected [$*]"
    fi
}

expect_accepted() {
    local added
    added=$(run_and_read_log "$short_bounds_exe" "$@"; echo x)
    added=${added%x}
    if grep -q 'Invalid parameters\.' <<<"$added"; then
        echo "FAIL: [$*] was rejected" >&2
        failures=$((failures + 1))
    else
        echo "ok: accepted [$*]"
    fi
}

# The log is appended to across runs, never replaced: each check reads only what its run added.
expect_rejected /silent
expect_rejected '/PATH:C:\target' /URL:http://127.0.0.1:1/m /SILENT /VERYSILENT
expect_rejected '/PATH:C:\target' /URL:http://127.0.0.1:1/m
# Nothing listens on port 1 of the loopback address: the manifest fetch fails.
expect_accepted '/path:D:\x' /url:http://127.0.0.1:1/m /silent

if [ "$failures" -gt 0 ]; then
    echo "$failures check(s) failed"
    exit 1
fi
echo "all checks passed"

#!/usr/bin/env bash
# Checks that a Windows executable can load on Windows XP SP3, and that it cannot be made to load
# a library planted beside it before its entry function runs. Wine offers every API whatever
# version it pretends to be, and takes its own libraries whatever lies beside the program, so a
# run there proves nothing: the PE headers and both import tables (the ordinary one and the
# delay-loaded one) are read instead.
#
#   check_imports.sh [--console] [--no-admin-manifest] EXE
#
# By default the executable must be a GUI-subsystem program whose manifest requests
# administrator rights, as downloader.exe is; the options relax that for helper programs.
set -euo pipefail

subsystem="Windows GUI"
want_manifest=1
while [ "$#" -gt 1 ]; do
    case "$1" in
        --console) subsystem="Windows CUI" ;;
        --no-admin-manifest) want_manifest=0 ;;
        *)
            echo "check_imports.sh: unknown option $1" >&2
            exit 2
            ;;
    esac
    shift
done
if [ "$#" -ne 1 ] || [ ! -f "$1" ]; then
    echo "usage: check_imports.sh [--console] [--no-admin-manifest] EXE" >&2
    exit 2
fi
exe=$1
tools=${CHECK_IMPORTS_TOOL_PREFIX:-i686-w64-mingw32-}

# DLLs that every Windows from XP SP3 on has: the delay-loaded imports may name these.
allowed_dlls=(
    ntdll kernel32 user32 gdi32 advapi32 shell32 ole32 oleaut32 comctl32 comdlg32 shlwapi version
    winmm ws2_32 wsock32 crypt32 secur32 msvcrt winhttp wintrust
)
# DLLs that every Windows from XP SP3 on loads from the system folder whatever lies beside the
# program ("known DLLs": on XP's list, or imported by one on it, as msvcrt is, and on the lists
# of Vista and later): only these may be loaded before the entry function runs, i.e. named in
# the ordinary import table. ws2_32 joined the list only with Windows 7; version left it then.
system_folder_dlls=(
    ntdll kernel32 user32 gdi32 advapi32 msvcrt ole32 oleaut32 rpcrt4 shell32 comdlg32 imagehlp
    wldap32
)
# winhttp.dll of Windows XP SP3 is WinHTTP 5.1: every function it exports (later versions added
# more, such as WinHttpGetProxyForUrlEx and the WebSocket calls).
winhttp_on_xp=(
    WinHttpAddRequestHeaders WinHttpCheckPlatform WinHttpCloseHandle WinHttpConnect
    WinHttpCrackUrl WinHttpCreateUrl WinHttpDetectAutoProxyConfigUrl
    WinHttpGetDefaultProxyConfiguration WinHttpGetIEProxyConfigForCurrentUser
    WinHttpGetProxyForUrl WinHttpOpen WinHttpOpenRequest WinHttpQueryAuthSchemes
    WinHttpQueryDataAvailable WinHttpQueryHeaders WinHttpQueryOption WinHttpReadData
    WinHttpReceiveResponse WinHttpSendRequest WinHttpSetCredentials
    WinHttpSetDefaultProxyConfiguration WinHttpSetOption WinHttpSetStatusCallback
    WinHttpSetTimeouts WinHttpTimeFromSystemTime WinHttpTimeToSystemTime WinHttpWriteData
)
# Functions that Windows XP SP3 lacks, in the DLLs above: extended regular expressions, each
# matched against whole names.
missing_on_xp=(
    GetTickCount64 '.*SRWLock.*' '.*ConditionVariable.*' 'InitOnce.*'
    'Fls(Alloc|Free|GetValue|SetValue)' InitializeCriticalSectionEx
    GetFileInformationByHandleEx SetFileInformationByHandle 'CreateSymbolicLink.*'
    'GetFinalPathNameByHandle.*' 'QueryFullProcessImageName.*' GetThreadId
    GetCurrentProcessorNumber FlushProcessWriteBuffers CancelIoEx GetQueuedCompletionStatusEx
    SetFileCompletionNotificationModes 'Create(Event|Mutex|Semaphore|WaitableTimer)Ex[AW]?'
    CreateFile2 GetSystemTimePreciseAsFileTime GetErrorMode
    '(GetLocaleInfo|LCMapString|CompareString)Ex' LocaleNameToLCID GetUserDefaultLocaleName
    GetDynamicTimeZoneInformation GetProductInfo 'RegGetValue[AW]' 'RegSetKeyValue[AW]'
    'RegDeleteKeyEx[AW]' 'Wow64(Disable|Revert)Wow64FsRedirection' SetThreadStackGuarantee
    if_nametoindex if_indextoname inet_pton inet_ntop 'InetPton[AW]?' 'InetNtop[AW]?' WSAPoll
    WSASendMsg 'GetAddrInfoEx[AW]?'
)
# msvcrt.dll of Windows XP has none of the secure "_s" functions nor these later additions.
missing_in_xp_msvcrt=(
    '.*_s' __acrt_iob_func _set_invalid_parameter_handler _fseeki64 _ftelli64
)

alternatives() {
    local IFS='|'
    printf '(%s)' "$*"
}
allowed_dlls_pattern="^$(alternatives "${allowed_dlls[@]}")\.dll$"
system_folder_dlls_pattern="^$(alternatives "${system_folder_dlls[@]}")\.dll$"
missing_on_xp_pattern="^[^ ]+ $(alternatives "${missing_on_xp[@]}")$"
missing_in_xp_msvcrt_pattern="^[^ ]+ $(alternatives "${missing_in_xp_msvcrt[@]}")$"
winhttp_on_xp_pattern="^[^ ]+ $(alternatives "${winhttp_on_xp[@]}")$"

failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

headers=$("${tools}objdump" -p "$exe")

grep -q 'file format pei-i386' <<<"$headers" || fail "not a 32-bit x86 PE image"
grep -Eq '^Magic[[:space:]]+010b[[:space:]]+\(PE32\)' <<<"$headers" || fail "not PE32"
grep -Eq "^Subsystem[[:space:]]+[0-9a-f]+[[:space:]]+\\($subsystem\\)" <<<"$headers" ||
    fail "subsystem is not $subsystem"

# XP's loader refuses an image that declares a later subsystem version than its own 5.1.
subsystem_version=$(awk '$1 == "MajorSubsystemVersion" { a = $2 }
    $1 == "MinorSubsystemVersion" { b = $2 } END { printf "%d %d", a, b }' <<<"$headers")
read -r major minor <<<"$subsystem_version"
if [ "$major" -gt 5 ] || { [ "$major" -eq 5 ] && [ "$minor" -gt 1 ]; }; then
    fail "subsystem version $major.$minor is newer than Windows XP's 5.1"
fi

# "DLL Name: X" opens each DLL's block; its function rows carry a hex address, a hint, a name
# and perhaps a bound address (the block's closing row of zeros has more fields).
imports=$(awk '
    /^[[:space:]]*DLL Name:/ { dll = $3; print dll " -"; next }
    /^(The |There is |PE File )/ { dll = "" }
    dll != "" && (NF == 3 || NF == 4) && $1 ~ /^[0-9a-f]+$/ && $2 ~ /^[0-9]+$/ {
        print dll " " $3
    }
' <<<"$headers")
if [ -z "$imports" ]; then
    fail "no import table found"
fi
delay_imports=$("${PYTHON3:-python3}" "$(dirname "${BASH_SOURCE[0]}")/delay_imports.py" "$exe") ||
    fail "the delay-loaded imports could not be read"

while read -r dll; do
    [ -n "$dll" ] || continue
    case "$(tr '[:upper:]' '[:lower:]' <<<"$dll")" in
        bcrypt.dll) fail "imports bcrypt.dll, which Windows XP lacks" ;;
        libgcc* | libstdc++* | libwinpthread* | libcurl*)
            fail "imports $dll: the runtime must be linked statically" ;;
        *)
            grep -Eiq "$allowed_dlls_pattern" <<<"$dll" ||
                fail "imports $dll, not a Windows XP system DLL"
            ;;
    esac
done < <(awk '$2 == "-" { print $1 }' <<<"$imports"$'\n'"$delay_imports")

while read -r dll; do
    grep -Eiq "$system_folder_dlls_pattern" <<<"$dll" ||
        fail "imports $dll before its entry function runs: Windows may load it from the" \
            "program's folder (delay-load it)"
done < <(awk '$2 == "-" { print $1 }' <<<"$imports")

# From here on both tables count alike.
imports=$(printf '%s\n%s\n' "$imports" "$delay_imports" | awk 'NF')

while read -r dll function; do
    if [ -n "$function" ]; then
        fail "imports $dll!$function, which Windows XP SP3 lacks"
    fi
done < <(awk '$2 != "-"' <<<"$imports" | grep -E "$missing_on_xp_pattern" || true)

while read -r dll function; do
    if [ -n "$function" ]; then
        fail "imports $dll!$function, which Windows XP's msvcrt.dll lacks"
    fi
done < <(awk '$2 != "-"' <<<"$imports" | grep -Ei '^msvcrt\.dll ' |
    grep -E "$missing_in_xp_msvcrt_pattern" || true)

while read -r dll function; do
    if [ -n "$function" ]; then
        fail "imports $dll!$function, which Windows XP SP3's winhttp.dll lacks"
    fi
done < <(awk '$2 != "-"' <<<"$imports" | grep -Ei '^winhttp\.dll ' |
    grep -Ev "$winhttp_on_xp_pattern" || true)

if [ "$want_manifest" -eq 1 ]; then
    resources=$(mktemp)
    trap 'rm -f "$resources"' EXIT
    "${tools}objcopy" -O binary --only-section=.rsrc "$exe" "$resources"
    grep -aq 'level="requireAdministrator"' "$resources" ||
        fail "no manifest resource requesting requireAdministrator"
fi

dll_count=$(grep -c ' -$' <<<"$imports" || true)
delayed_count=$(grep -c ' -$' <<<"$delay_imports" || true)
function_count=$(grep -vc ' -$' <<<"$imports" || true)
if [ "$failures" -gt 0 ]; then
    echo "$exe: $failures problem(s)"
    exit 1
fi
echo "$exe: PE32, $subsystem, $function_count functions from $dll_count DLLs" \
    "($delayed_count delay-loaded), all present on Windows XP SP3"

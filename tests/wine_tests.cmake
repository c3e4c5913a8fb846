# Tests of the Windows build that run on the build machine: the headers and import table of
# each Windows executable, and runs of downloader.exe under Wine. Unit test executables reach
# Wine through CMAKE_CROSSCOMPILING_EMULATOR (scripts/wine-run), set by the toolchain file.

# Checks that a Windows executable can load on Windows XP SP3. Extra arguments go to
# check_imports.sh: --console for a console program, --no-admin-manifest for one without the
# administrator manifest.
function(add_windows_imports_test target)
  add_test(NAME windows_imports_${target}
    COMMAND ${CMAKE_CURRENT_FUNCTION_LIST_DIR}/windows/check_imports.sh ${ARGN}
            $<TARGET_FILE:${target}>)
  set_tests_properties(windows_imports_${target} PROPERTIES TIMEOUT 60
    ENVIRONMENT PYTHON3=${PYTHON3})
endfunction()

add_windows_imports_test(downloader)
add_windows_imports_test(downloader-signed)
# The test build has no resources, hence no manifest; its imports must be as safe.
add_windows_imports_test(downloader-short-bounds --no-admin-manifest)
add_windows_imports_test(downloader-arm64 --no-admin-manifest)

# Libraries planted beside downloader.exe and in its current directory never run: a whole job
# under Wine with their names set native-first, in tests/e2e/test_planted_libraries.py (part of
# e2e-wine-win32-resume).

# A prefix of its own, so that no other test's log lines land in the log it reads.
add_test(NAME windows_smoke_invalid_parameters
  COMMAND ${CMAKE_CURRENT_LIST_DIR}/windows/smoke_invalid_parameters.sh
          $<TARGET_FILE:downloader> $<TARGET_FILE:downloader-short-bounds>
          ${CMAKE_CROSSCOMPILING_EMULATOR})
set_tests_properties(windows_smoke_invalid_parameters PROPERTIES
  TIMEOUT 300
  ENVIRONMENT "WINE_PREFIX_DIR=${CMAKE_CURRENT_BINARY_DIR}/wine/smoke-prefix32")

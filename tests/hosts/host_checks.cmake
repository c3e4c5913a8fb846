# One check of wizard-host, host-probe and test-installer working together:
#   cmake -DCASE=<case> -DWIZARD_HOST=... -DHOST_PROBE=... -DTEST_INSTALLER=... -DWORK_DIR=...
#         [-DEMULATOR=<runner>] -P host_checks.cmake
cmake_minimum_required(VERSION 3.25)

set(dir "${WORK_DIR}/${CASE}")
file(REMOVE_RECURSE "${dir}")
file(MAKE_DIRECTORY "${dir}")
set(record "${dir}/record.txt")

# Runs a program and fails the check unless it exits with `expected`; its output (stdout then
# stderr) is left in `output`.
function(run_expecting expected)
  execute_process(COMMAND ${EMULATOR} ${ARGN}
    RESULT_VARIABLE code OUTPUT_VARIABLE out ERROR_VARIABLE err TIMEOUT 50)
  if(NOT "${code}" STREQUAL "${expected}")
    message(FATAL_ERROR "exit ${code}, expected ${expected}: ${ARGN}\n${out}${err}")
  endif()
  set(output "${out}${err}" PARENT_SCOPE)
endfunction()

function(expect_file path expected)
  if(NOT EXISTS "${path}")
    message(FATAL_ERROR "${path} is missing")
  endif()
  file(READ "${path}" actual)
  if(NOT actual STREQUAL expected)
    message(FATAL_ERROR "${path} holds\n[${actual}]\nexpected\n[${expected}]")
  endif()
endfunction()

function(expect_output_contains text)
  string(FIND "${output}" "${text}" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "output lacks '${text}':\n${output}")
  endif()
endfunction()

function(expect_match path regex)
  file(READ "${path}" actual)
  if(NOT actual MATCHES "${regex}")
    message(FATAL_ERROR "${path} holds\n[${actual}]\nwhich does not match\n[${regex}]")
  endif()
endfunction()

if(CASE STREQUAL "order")
  # Every message in order, whatever its number, and the probe's exit code passed on.
  run_expecting(3 "${WIZARD_HOST}" --record "${record}" -- "${HOST_PROBE}" --exit 3
    --post 1024 1000 0 --post 1024 1000 500 --post 1024 1000 1000 --post 1025 100 0
    --post 1025 40 1 --post 1025 40 2 --post 32767 7 4294967295)
  expect_file("${record}" "1024 1000 0\n1024 1000 500\n1024 1000 1000\n1025 100 0\n1025 40 1\n1025 40 2\n32767 7 4294967295\n")
  expect_output_contains("1000 / 1000 bytes 100.0%")
  expect_output_contains("download complete")
  expect_output_contains("installer running (heartbeat 2)")

elseif(CASE STREQUAL "find-by-class")
  # Without /HWND the probe can reach the window only through its class and title.
  set(class "Velmora Test Class")
  set(title "Réglages – Velmora ∞")
  run_expecting(0 "${WIZARD_HOST}" --quiet --no-hwnd --class "${class}" --title "${title}"
    --record "${record}" -- "${HOST_PROBE}" --find "${class}" "${title}"
    --post 2000 1 2 --post 2001 100 0)
  expect_file("${record}" "2000 1 2\n2001 100 0\n")
  # Only our own lines count: Wine may report on its background processes.
  if(output MATCHES "bytes|download complete|heartbeat")
    message(FATAL_ERROR "--quiet still drew:\n${output}")
  endif()

elseif(CASE STREQUAL "default-window")
  # The default class and title, found as the same window that /HWND names (else exit 6).
  run_expecting(0 "${WIZARD_HOST}" --quiet --record "${record}" -- "${HOST_PROBE}"
    --find TWizardForm "Setup - Velmora Free 11" --post 1024 5 6)
  expect_file("${record}" "1024 5 6\n")

elseif(CASE STREQUAL "series")
  # Far more messages than the receive queue holds, none lost and none reordered.
  set(count 3000)
  run_expecting(0 "${WIZARD_HOST}" --usermsg 1500 --record "${record}" -- "${HOST_PROBE}"
    --retry --series ${count} 1500)
  set(expected "")
  foreach(i RANGE 1 ${count})
    string(APPEND expected "1500 ${count} ${i}\n")
  endforeach()
  expect_file("${record}" "${expected}")
  expect_output_contains("3000 / 3000 bytes 100.0%")

elseif(CASE STREQUAL "missing-downloader")
  run_expecting(127 "${WIZARD_HOST}" --record "${record}" -- "${dir}/no-such-downloader")
  expect_file("${record}" "")

elseif(CASE STREQUAL "usage")
  run_expecting(2 "${WIZARD_HOST}" --record "${record}" "${HOST_PROBE}")
  run_expecting(2 "${WIZARD_HOST}" --usermsg x -- "${HOST_PROBE}")
  run_expecting(2 "${WIZARD_HOST}" --)

elseif(CASE STREQUAL "with-installer")
  # The host's handle reaches the started program as the last argument, in decimal.
  run_expecting(0 "${WIZARD_HOST}" --quiet --record "${record}" -- "${TEST_INSTALLER}"
    /VERYSILENT "/DIR=${dir}" /LANG=en)
  expect_file("${record}" "")
  expect_match("${dir}/install-record.txt"
    "\nARGC 5\n.*\nARG 4 /HWND:[1-9][0-9]*\n$")

elseif(CASE STREQUAL "installer-no-hwnd")
  run_expecting(0 "${WIZARD_HOST}" --quiet --no-hwnd -- "${TEST_INSTALLER}" "/DIR=${dir}")
  expect_file("${dir}/install-record.txt"
    "COMMANDLINE ${TEST_INSTALLER} /DIR=${dir}\nARGC 2\nARG 0 ${TEST_INSTALLER}\nARG 1 /DIR=${dir}\n")

elseif(CASE STREQUAL "installer-record")
  file(WRITE "${dir}/sleep-ms" "400\n")
  string(TIMESTAMP start "%s%f" UTC)
  run_expecting(0 "${TEST_INSTALLER}" /VERYSILENT "/DIR=${dir}" "/LANG=de" "two words")
  string(TIMESTAMP end "%s%f" UTC)
  expect_file("${dir}/install-record.txt"
    "COMMANDLINE ${TEST_INSTALLER} /VERYSILENT /DIR=${dir} /LANG=de two words\nARGC 5\nARG 0 ${TEST_INSTALLER}\nARG 1 /VERYSILENT\nARG 2 /DIR=${dir}\nARG 3 /LANG=de\nARG 4 two words\n")
  math(EXPR elapsed_ms "(${end} - ${start}) / 1000")
  if(elapsed_ms LESS 400)
    message(FATAL_ERROR "returned after ${elapsed_ms} ms despite sleep-ms 400")
  endif()

elseif(CASE STREQUAL "installer-no-dir")
  run_expecting(2 "${TEST_INSTALLER}" /VERYSILENT "/LANG=en")
  file(GLOB left "${dir}/*")
  if(left)
    message(FATAL_ERROR "wrote ${left}")
  endif()

elseif(CASE STREQUAL "installer-no-sleep-file")
  string(TIMESTAMP start "%s" UTC)
  run_expecting(0 "${TEST_INSTALLER}" "/dir=${dir}")
  string(TIMESTAMP end "%s" UTC)
  expect_match("${dir}/install-record.txt" "^COMMANDLINE .*\nARGC 2\n")
  math(EXPR elapsed "${end} - ${start}")
  if(elapsed GREATER 5)
    message(FATAL_ERROR "took ${elapsed} s without a sleep-ms file")
  endif()

else()
  message(FATAL_ERROR "unknown CASE '${CASE}'")
endif()

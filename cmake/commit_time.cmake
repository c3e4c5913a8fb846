# Writes the time stamp that cmake/link-at-commit-time gives the linker (SOURCE_DATE_EPOCH, else
# the time of the checked-out commit of SOURCE_DIR, else 0) into OUTPUT, and touches OUTPUT only
# when it changed: the executables depend on it, so a new commit relinks them even when no
# source changed, and an unchanged one does not.
#
#   cmake -DSOURCE_DIR=... -DOUTPUT=... -P commit_time.cmake
if(DEFINED ENV{SOURCE_DATE_EPOCH} AND NOT "$ENV{SOURCE_DATE_EPOCH}" STREQUAL "")
  set(time "$ENV{SOURCE_DATE_EPOCH}")
else()
  execute_process(COMMAND git -C "${SOURCE_DIR}" log -1 --format=%ct
    OUTPUT_VARIABLE time OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET RESULT_VARIABLE failed)
  if(failed OR time STREQUAL "")
    set(time 0)
  endif()
endif()
set(previous "")
if(EXISTS "${OUTPUT}")
  file(READ "${OUTPUT}" previous)
endif()
if(NOT previous STREQUAL "${time}\n")
  file(WRITE "${OUTPUT}" "${time}\n")
endif()

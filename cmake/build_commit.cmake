# Writes OUTPUT, a source that gives the checked-out commit of SOURCE_DIR (abbreviated; "unknown"
# outside a git checkout) to the support trace, and touches it only when the commit changed, so
# that an unchanged commit rebuilds nothing and two checkouts of one commit build the same.
#
#   cmake -DSOURCE_DIR=... -DOUTPUT=... -P build_commit.cmake
execute_process(COMMAND git -C "${SOURCE_DIR}" rev-parse --short=12 HEAD
  OUTPUT_VARIABLE commit OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET RESULT_VARIABLE failed)
if(failed OR NOT commit MATCHES "^[0-9a-f]+$")
  set(commit "unknown")
endif()
set(text "// Made by cmake/build_commit.cmake.\n#include \"driver/build_commit.h\"\n\nconst char* buildCommit() {\n    return \"${commit}\";\n}\n")
set(previous "")
if(EXISTS "${OUTPUT}")
  file(READ "${OUTPUT}" previous)
endif()
if(NOT previous STREQUAL text)
  file(WRITE "${OUTPUT}" "${text}")
endif()

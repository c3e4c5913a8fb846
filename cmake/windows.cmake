# The 32-bit Windows build: one executable that loads on Windows XP SP3 and later, with no
# DLL of its own beside it.

# 0x0501 (Windows XP) hides every later API from our code and from libcurl's headers, so that
# nothing imports a function XP lacks; the import test checks the result.
add_compile_definitions(
  _WIN32_WINNT=0x0501 WINVER=0x0501
  UNICODE _UNICODE
  CURL_STATICLIB
  NOMINMAX WIN32_LEAN_AND_MEAN)

# Reproducible executables: two builds of one commit, from checkouts in different directories,
# give the same bytes (scripts/reproduce checks it). No build path reaches an object (our
# sources use no __FILE__; the prefix maps cover what the compiler itself records), archives
# carry no time stamps or owners, and the header's time stamp is the commit's.
add_compile_options(-ffile-prefix-map=${CMAKE_SOURCE_DIR}=. -ffile-prefix-map=${CMAKE_BINARY_DIR}=.)
foreach(language C CXX)
  set(CMAKE_${language}_ARCHIVE_CREATE "<CMAKE_AR> qcD <TARGET> <LINK_FLAGS> <OBJECTS>")
  set(CMAKE_${language}_ARCHIVE_APPEND "<CMAKE_AR> qD <TARGET> <LINK_FLAGS> <OBJECTS>")
  set(CMAKE_${language}_ARCHIVE_FINISH "<CMAKE_RANLIB> -D <TARGET>")
endforeach()
set_property(GLOBAL PROPERTY RULE_LAUNCH_LINK
  "${CMAKE_CURRENT_LIST_DIR}/link-at-commit-time ${CMAKE_SOURCE_DIR}")
# Every build looks at the commit's time; whatever links the core is linked again when it changed.
set(COMMIT_TIME_FILE ${CMAKE_BINARY_DIR}/commit-time)
add_custom_target(commit_time
  COMMAND ${CMAKE_COMMAND} -DSOURCE_DIR=${CMAKE_SOURCE_DIR} -DOUTPUT=${COMMIT_TIME_FILE}
          -P ${CMAKE_CURRENT_LIST_DIR}/commit_time.cmake
  BYPRODUCTS ${COMMIT_TIME_FILE} VERBATIM)
add_library(commit_time_stamp INTERFACE)
set_target_properties(commit_time_stamp PROPERTIES INTERFACE_LINK_DEPENDS ${COMMIT_TIME_FILE})
add_dependencies(commit_time_stamp commit_time)

# The GCC runtime and libstdc++ go into the executable instead of DLLs the target lacks.
add_link_options(-static -static-libgcc -static-libstdc++)
# The static runtime libraries carry debug sections that would double the executable's size.
add_link_options($<$<CONFIG:MinSizeRel,Release>:-s>)

# A static library that scripts/setup builds for this target, found through the toolchain's
# find-root path, as an imported target with its compile definition and system libraries.
function(import_static_dependency target header library definition system_libraries)
  string(MAKE_C_IDENTIFIER "${library}" id)
  find_path(${id}_INCLUDE_DIR ${header})
  find_library(${id}_LIBRARY NAMES ${library})
  if(NOT ${id}_INCLUDE_DIR OR NOT ${id}_LIBRARY)
    message(FATAL_ERROR
      "${library} for i686-w64-mingw32 not found under ${DOWNLOADER_DEPS}: run scripts/setup")
  endif()
  if(NOT TARGET ${target})
    add_library(${target} STATIC IMPORTED GLOBAL)
    set_target_properties(${target} PROPERTIES
      IMPORTED_LOCATION "${${id}_LIBRARY}"
      INTERFACE_INCLUDE_DIRECTORIES "${${id}_INCLUDE_DIR}"
      INTERFACE_COMPILE_DEFINITIONS ${definition}
      INTERFACE_LINK_LIBRARIES "${system_libraries}")
  endif()
endfunction()

# Windows takes a library from the system folder whatever the search path only when it is a
# "known DLL" on every version we support (XP's list is the shortest; msvcrt is on it as a
# library that listed ones import). Every other library the executables import is delay-loaded:
# they call its functions as usual, and it is loaded on the first call, after the entry
# function has restricted the search (support/library_search_win32.cpp).
# tests/windows/check_imports.sh reads both tables.
function(add_delay_loaded_library name)
  find_library(${name}_IMPORT_LIBRARY NAMES lib${name}.a)
  if(NOT ${name}_IMPORT_LIBRARY)
    message(FATAL_ERROR "lib${name}.a of the mingw-w64 toolchain not found")
  endif()
  set(script ${CMAKE_CURRENT_FUNCTION_LIST_DIR}/make-delay-import-library)
  set(library ${CMAKE_BINARY_DIR}/delay-loaded/lib${name}_delayed.a)
  if(NOT EXISTS ${library} OR ${script} IS_NEWER_THAN ${library}
      OR ${${name}_IMPORT_LIBRARY} IS_NEWER_THAN ${library})
    file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/delay-loaded)
    execute_process(COMMAND ${script} ${_mingw}- ${${name}_IMPORT_LIBRARY} ${library}
      COMMAND_ERROR_IS_FATAL ANY)
  endif()
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${script})
  add_library(delayed_${name} STATIC IMPORTED GLOBAL)
  set_target_properties(delayed_${name} PROPERTIES IMPORTED_LOCATION ${library})
endfunction()

foreach(library winhttp crypt32 ws2_32 wintrust)
  add_delay_loaded_library(${library})
endforeach()

# libcurl: static, Schannel. Its pkg-config file names bcrypt too, which the 0x0501 build does
# not use: the system libraries are listed here instead.
import_static_dependency(CURL::libcurl curl/curl.h libcurl.a CURL_STATICLIB
  "delayed_ws2_32;delayed_crypt32;advapi32")
# libsodium: static and minimal. Without SODIUM_STATIC its headers declare DLL imports.
import_static_dependency(Sodium::sodium sodium.h libsodium.a SODIUM_STATIC advapi32)

set(PLATFORM_SOURCE support/platform_win32.cpp support/library_search_win32.cpp
  support/code_signature_win32.cpp)
set(PLATFORM_LIBS CURL::libcurl Sodium::sodium delayed_winhttp delayed_wintrust delayed_crypt32
  user32 advapi32 kernel32 commit_time_stamp)
set(DOWNLOADER_RESOURCES resources/downloader.rc)

# A change to a file that the resource script pulls in must rebuild the resources.
set_source_files_properties(resources/downloader.rc PROPERTIES OBJECT_DEPENDS
  "${CMAKE_SOURCE_DIR}/resources/downloader.manifest;${CMAKE_SOURCE_DIR}/resources/downloader.ico")

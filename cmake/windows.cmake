# The 32-bit Windows build: one executable that loads on Windows XP SP3 and later, with no
# DLL of its own beside it.

# 0x0501 (Windows XP) hides every later API from our code and from libcurl's headers, so that
# nothing imports a function XP lacks; the import test checks the result.
add_compile_definitions(
  _WIN32_WINNT=0x0501 WINVER=0x0501
  UNICODE _UNICODE
  CURL_STATICLIB
  NOMINMAX WIN32_LEAN_AND_MEAN)

# The GCC runtime and libstdc++ go into the executable instead of DLLs the target lacks.
add_link_options(-static -static-libgcc -static-libstdc++)
# The static runtime libraries carry debug sections that would double the executable's size.
add_link_options($<$<CONFIG:MinSizeRel,Release>:-s>)

# libcurl as scripts/setup builds it (static, Schannel), found through the toolchain's find-root
# path. Its pkg-config file names bcrypt too, which the 0x0501 build does not use: the system
# libraries are listed here instead.
find_path(DOWNLOADER_CURL_INCLUDE_DIR curl/curl.h)
find_library(DOWNLOADER_CURL_LIBRARY NAMES libcurl.a)
if(NOT DOWNLOADER_CURL_INCLUDE_DIR OR NOT DOWNLOADER_CURL_LIBRARY)
  message(FATAL_ERROR
    "libcurl for i686-w64-mingw32 not found under ${DOWNLOADER_DEPS}: run scripts/setup")
endif()
if(NOT TARGET CURL::libcurl)
  add_library(CURL::libcurl STATIC IMPORTED)
  set_target_properties(CURL::libcurl PROPERTIES
    IMPORTED_LOCATION "${DOWNLOADER_CURL_LIBRARY}"
    INTERFACE_INCLUDE_DIRECTORIES "${DOWNLOADER_CURL_INCLUDE_DIR}"
    INTERFACE_COMPILE_DEFINITIONS CURL_STATICLIB
    INTERFACE_LINK_LIBRARIES "ws2_32;crypt32;advapi32")
endif()

# libsodium as scripts/setup builds it: static and minimal. Without SODIUM_STATIC its headers
# declare DLL imports.
find_path(DOWNLOADER_SODIUM_INCLUDE_DIR sodium.h)
find_library(DOWNLOADER_SODIUM_LIBRARY NAMES libsodium.a)
if(NOT DOWNLOADER_SODIUM_INCLUDE_DIR OR NOT DOWNLOADER_SODIUM_LIBRARY)
  message(FATAL_ERROR
    "libsodium for i686-w64-mingw32 not found under ${DOWNLOADER_DEPS}: run scripts/setup")
endif()
if(NOT TARGET Sodium::sodium)
  add_library(Sodium::sodium STATIC IMPORTED)
  set_target_properties(Sodium::sodium PROPERTIES
    IMPORTED_LOCATION "${DOWNLOADER_SODIUM_LIBRARY}"
    INTERFACE_INCLUDE_DIRECTORIES "${DOWNLOADER_SODIUM_INCLUDE_DIR}"
    INTERFACE_COMPILE_DEFINITIONS SODIUM_STATIC
    INTERFACE_LINK_LIBRARIES "advapi32")
endif()

set(PLATFORM_SOURCE support/platform_win32.cpp)
set(PLATFORM_LIBS CURL::libcurl Sodium::sodium winhttp user32 advapi32 kernel32)
set(DOWNLOADER_RESOURCES resources/downloader.rc)

# A change to a file that the resource script pulls in must rebuild the resources.
set_source_files_properties(resources/downloader.rc PROPERTIES OBJECT_DEPENDS
  "${CMAKE_SOURCE_DIR}/resources/downloader.manifest;${CMAKE_SOURCE_DIR}/resources/downloader.ico")

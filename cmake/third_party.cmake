# cpp-httplib (header only) and cJSON from the source packages that scripts/setup.sh fetches.
set(_httplib_dir "${KELO_DEPS_DIR}/cpp-httplib")
set(_cjson_dir "${KELO_DEPS_DIR}/cjson")
if(NOT EXISTS "${_httplib_dir}/httplib.h" OR NOT EXISTS "${_cjson_dir}/cJSON.c")
  message(FATAL_ERROR "Third-party sources missing in ${KELO_DEPS_DIR}: run scripts/setup.sh first")
endif()

add_library(httplib INTERFACE)
target_include_directories(httplib SYSTEM INTERFACE "${_httplib_dir}")
find_package(Threads REQUIRED)
target_link_libraries(httplib INTERFACE Threads::Threads)
# The library listens with a queue of 5. Connections that come together (all of
# a load's connections reconnecting after their last kept-alive request, a tab
# opening several at once) overflow it, and the client's TCP tries again only a
# second later: the slowest answers at 32 connections took a second from that
# alone. 256 holds every worker's and every queued caller's connection twice.
target_compile_definitions(httplib INTERFACE CPPHTTPLIB_LISTEN_BACKLOG=256)
if(WIN32)
  target_link_libraries(httplib INTERFACE ws2_32 crypt32)
endif()

add_library(cjson STATIC "${_cjson_dir}/cJSON.c")
target_include_directories(cjson SYSTEM PUBLIC "${_cjson_dir}")
set_target_properties(cjson PROPERTIES C_STANDARD 99)

# GoogleTest from the Debian package's sources, built with our compiler.
set(KELO_GTEST_DIR "/usr/src/googletest" CACHE PATH "GoogleTest sources")
if(NOT TARGET gtest AND NOT KELO_FUZZ)
  set(_gtest_dir "${KELO_GTEST_DIR}")
  if(NOT EXISTS "${_gtest_dir}/CMakeLists.txt")
    message(FATAL_ERROR "GoogleTest sources missing in ${_gtest_dir}: run scripts/setup.sh first")
  endif()
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
  set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
  add_subdirectory("${_gtest_dir}" "${CMAKE_BINARY_DIR}/googletest" EXCLUDE_FROM_ALL SYSTEM)
endif()

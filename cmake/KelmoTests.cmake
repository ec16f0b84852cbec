# The test harness. Tests are compiled in both builds and run under the
# build's own Wine (the toolchain's emulator) inside one throwaway prefix under
# the build folder, created by one fixture and shut down by another. The win64
# build runs them here under 64-bit Wine; the win32 build's run under 32-bit
# Wine in the i386 guest (`make test32`). Labels say what a test is, and the
# test presets select by them:
#   wine    every test run under Wine (the i386 guest runs this label)
#   unit    a Wine test that calls our code in its own process
#   process a Wine test that starts our programs
#   stress  a Wine test under faults or load, short in `make test`, long in `make stress`
#   static  a check of the built files on the build machine itself
#   bench-smoke  one round of a benchmark (win64 build)
#
# Test seams follow one rule. A compile-time definition only for what must not
# be in the shipped file at all: KELMO_ALLOCATION_PROBE (counting and failing
# allocations), KELMO_ACTIVATION_SEAM (holding an activation), a shorter
# KELMO_FIRST_LOCK_DEADLINE_MS, TOLLAN_GUARDED_CURRENT_NAME (guard bytes on the
# splitter's stack). Everything else goes through what the code already takes
# as input: the platform facts handed to ServerModule::Setup, the module-path
# source of the script engine, parameters, and the test's own definitions of
# tollan's name table and count.

set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(GOOGLETEST_VERSION 1.12.1)
add_subdirectory(/usr/src/googletest/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)

set(KELMO_WINEPREFIX ${CMAKE_BINARY_DIR}/wineprefix)

# Every lock of a test that writes to the registry outside its scratch key.
# A test that compares snapshots of whole registry trees takes them all: a key
# created or deleted while the snapshot enumerates shifts the indexes and
# hides another key from it. Tests under another code page hold code_page:
# while one runs, Wine rewrites its font entries for that code page.
set(KELMO_WHOLE_REGISTRY_LOCKS kelmo_class kelmo_typelib hosted_registration probe_typelib code_page)

add_test(NAME wineprefix.create COMMAND ${PROJECT_SOURCE_DIR}/cmake/wineprefix.sh create ${KELMO_WINEPREFIX})
add_test(NAME wineprefix.shutdown COMMAND ${PROJECT_SOURCE_DIR}/cmake/wineprefix.sh shutdown ${KELMO_WINEPREFIX})
set_tests_properties(wineprefix.create PROPERTIES FIXTURES_SETUP wineprefix TIMEOUT 300 LABELS wine)
set_tests_properties(wineprefix.shutdown PROPERTIES FIXTURES_CLEANUP wineprefix LABELS wine)

# kelmo_add_test_executable(NAME SOURCES ... [LIBRARIES ...]): a GoogleTest
# program, built in both builds.
function(kelmo_add_test_executable name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBRARIES;DEFINITIONS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBRARIES} kelmo_test_support gtest_main kelmo_warnings kelmo_com)
  target_compile_definitions(${name} PRIVATE ${ARG_DEFINITIONS})
  target_link_options(${name} PRIVATE -static)
endfunction()

# kelmo_add_wine_test(NAME KIND unit|process|stress COMMAND ... [LOCKS ...]
#                     [ENVIRONMENT ...] [TIMEOUT s] [WORKING_DIRECTORY dir]):
# one CTest entry run under Wine in the run's prefix, labelled wine and KIND.
# Tests that touch the same registry entries or server class share a lock.
function(kelmo_add_wine_test name)
  cmake_parse_arguments(ARG "" "KIND;TIMEOUT;WORKING_DIRECTORY" "COMMAND;LOCKS;ENVIRONMENT" ${ARGN})
  if(NOT ARG_KIND MATCHES "^(unit|process|stress)$")
    message(FATAL_ERROR "${name}: KIND is unit, process or stress, not '${ARG_KIND}'")
  endif()
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 300)
  endif()
  # The win32 build's Wine tests run only in the emulated machine, several
  # times slower than here, two at a time beside the emulator's own work: a
  # whole-registry test that takes 300 s alone there overran 600 s beside
  # another. Their bounds are three times as long; the guest's budget bounds
  # the whole run.
  if(KELMO_WIN32)
    math(EXPR ARG_TIMEOUT "${ARG_TIMEOUT} * 3")
  endif()
  if(NOT ARG_WORKING_DIRECTORY)
    set(ARG_WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR})
  endif()
  list(POP_FRONT ARG_COMMAND program)
  if(TARGET ${program})
    set(program $<TARGET_FILE:${program}>)
  endif()
  add_test(NAME ${name}
    COMMAND ${PROJECT_SOURCE_DIR}/cmake/wine-test.sh ${CMAKE_CROSSCOMPILING_EMULATOR} ${program} ${ARG_COMMAND}
    WORKING_DIRECTORY ${ARG_WORKING_DIRECTORY})
  set_tests_properties(${name} PROPERTIES
    FIXTURES_REQUIRED wineprefix
    LABELS "wine;${ARG_KIND}"
    TIMEOUT ${ARG_TIMEOUT}
    ENVIRONMENT "WINEPREFIX=${KELMO_WINEPREFIX};WINEDEBUG=-all;${ARG_ENVIRONMENT}")
  if(ARG_LOCKS)
    set_tests_properties(${name} PROPERTIES RESOURCE_LOCK "${ARG_LOCKS}")
  endif()
endfunction()

# kelmo_add_static_check(NAME COMMAND ...): a check on built files that runs
# on the build machine itself, in either build. SOURCE_DATE_EPOCH tells it the
# source date the build wrote into the files.
function(kelmo_add_static_check name)
  cmake_parse_arguments(ARG "" "" "COMMAND" ${ARGN})
  add_test(NAME ${name} COMMAND ${ARG_COMMAND})
  set_tests_properties(${name} PROPERTIES LABELS static
    ENVIRONMENT "SOURCE_DATE_EPOCH=${KELMO_SOURCE_DATE_EPOCH}")
endfunction()

# Reproducible builds. Every date the build writes into a file comes from one
# source date: SOURCE_DATE_EPOCH when it is set, otherwise the last commit's
# time, or 0 outside a git checkout. No absolute path of the source or build
# folder reaches a compiled file.
if(DEFINED ENV{SOURCE_DATE_EPOCH})
  set(KELMO_SOURCE_DATE_EPOCH "$ENV{SOURCE_DATE_EPOCH}")
else()
  execute_process(COMMAND git -C ${PROJECT_SOURCE_DIR} log -1 --format=%ct
    OUTPUT_VARIABLE KELMO_SOURCE_DATE_EPOCH OUTPUT_STRIP_TRAILING_WHITESPACE
    RESULT_VARIABLE status ERROR_QUIET)
  if(NOT status EQUAL 0)
    message(STATUS "no commit to date the build from and no SOURCE_DATE_EPOCH: dates are 0")
    set(KELMO_SOURCE_DATE_EPOCH 0)
  endif()
endif()
if(NOT KELMO_SOURCE_DATE_EPOCH MATCHES "^[0-9]+$")
  message(FATAL_ERROR "SOURCE_DATE_EPOCH is '${KELMO_SOURCE_DATE_EPOCH}', not a number of seconds")
endif()

# The build folder lies inside the source folder, so it is mapped last: the
# compiler takes the last mapping that matches.
add_compile_options(
  "$<$<COMPILE_LANGUAGE:C,CXX>:-ffile-prefix-map=${PROJECT_SOURCE_DIR}=.>"
  "$<$<COMPILE_LANGUAGE:C,CXX>:-ffile-prefix-map=${CMAKE_BINARY_DIR}=build>")

# The source date as a UTC clock reads it (string(TIMESTAMP) reads SOURCE_DATE_EPOCH).
if(NOT DEFINED ENV{SOURCE_DATE_EPOCH})
  set(ENV{SOURCE_DATE_EPOCH} ${KELMO_SOURCE_DATE_EPOCH})
  string(TIMESTAMP KELMO_SOURCE_DATE_UTC "%Y-%m-%d %H:%M:%S" UTC)
  unset(ENV{SOURCE_DATE_EPOCH})
else()
  string(TIMESTAMP KELMO_SOURCE_DATE_UTC "%Y-%m-%d %H:%M:%S" UTC)
endif()
find_program(KELMO_FAKETIME faketime)
if(NOT KELMO_FAKETIME)
  message(FATAL_ERROR "faketime is missing (Debian's faketime; make deps installs it)")
endif()

# kelmo_date_from_source(TARGET): the linker writes the source date into the
# program's PE header (it reads SOURCE_DATE_EPOCH) instead of the time of the
# link, and then the header's checksum. The link also runs on a clock held
# still at the source date, since ld takes a PDB's link time from the clock.
function(kelmo_date_from_source target)
  set_target_properties(${target} PROPERTIES CXX_LINKER_LAUNCHER
    "${CMAKE_COMMAND};-E;env;SOURCE_DATE_EPOCH=${KELMO_SOURCE_DATE_EPOCH};TZ=UTC;${KELMO_FAKETIME};-f;@${KELMO_SOURCE_DATE_UTC} i0,0")
endfunction()

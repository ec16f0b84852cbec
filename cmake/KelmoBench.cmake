# Benchmarks print figures; they are not tests. Each one is a win64 program run
# under Wine in a prefix of its own by the target bench.NAME; the target
# `bench` runs them all. So that none of them rots, the win64 build also runs
# each once, short, as the test bench-smoke.NAME (label bench-smoke), which
# checks only that it ends well and prints its rows of the table.
if(NOT TARGET bench)
  add_custom_target(bench)
endif()

# kelmo_add_benchmark(NAME SOURCES ... ROWS n [LIBRARIES ...] [DEFINITIONS ...]
#                     [ARGS ...] [SMOKE_ARGS ...] [DEPENDS ...])
# ROWS: the table rows it prints; SMOKE_ARGS: its arguments for one round.
function(kelmo_add_benchmark name)
  cmake_parse_arguments(ARG "" "ROWS" "SOURCES;LIBRARIES;DEFINITIONS;ARGS;SMOKE_ARGS;DEPENDS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBRARIES} kelmo_warnings kelmo_com)
  target_compile_definitions(${name} PRIVATE ${ARG_DEFINITIONS})
  target_link_options(${name} PRIVATE -static)
  if(KELMO_WIN32)
    return()
  endif()
  add_custom_target(bench.${name}
    COMMAND ${PROJECT_SOURCE_DIR}/cmake/run-in-wineprefix.sh ${CMAKE_BINARY_DIR}/bench-prefix/${name}
            $<TARGET_FILE:${name}> ${ARG_ARGS}
    DEPENDS ${name} ${ARG_DEPENDS}
    USES_TERMINAL)
  add_dependencies(bench bench.${name})
  add_test(NAME bench-smoke.${name}
    COMMAND ${PROJECT_SOURCE_DIR}/cmake/bench-smoke.sh ${ARG_ROWS} ${CMAKE_BINARY_DIR}/bench-smoke-prefix/${name}
            $<TARGET_FILE:${name}> ${ARG_SMOKE_ARGS})
  set_tests_properties(bench-smoke.${name} PROPERTIES LABELS bench-smoke TIMEOUT 900)
endfunction()

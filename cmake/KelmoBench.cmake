# Benchmarks print figures; they are not tests. Each one is a win64 program run
# under Wine in a prefix of its own by the target bench.NAME; the target
# `bench` runs them all.
if(NOT TARGET bench)
  add_custom_target(bench)
endif()

# kelmo_add_benchmark(NAME SOURCES ... [LIBRARIES ...] [DEFINITIONS ...]
#                     [ARGS ...] [DEPENDS ...])
function(kelmo_add_benchmark name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBRARIES;DEFINITIONS;ARGS;DEPENDS" ${ARGN})
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
endfunction()

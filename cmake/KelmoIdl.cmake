# kelmo_compile_idl(NAME IDL [HEADER]): compiles an interface definition with
# widl into ${NAME}.tlb (for the target's bitness) in the current binary
# folder, and into ${NAME}.h when HEADER is given; target ${NAME}_idl builds them.
# The type library's creation stamps carry the source date, not widl's clock.
# Wine's IDL files serve only as widl's import path; they never reach the C++
# include path.
set(KELMO_WIDL_IMPORTS /usr/include/wine/wine/windows)
set(KELMO_STDOLE_DIR /usr/lib/x86_64-linux-gnu/wine/x86_64-windows)

function(kelmo_compile_idl name idl)
  cmake_parse_arguments(ARG "HEADER" "" "" ${ARGN})
  if(KELMO_WIN32)
    set(arch --win32)
  else()
    set(arch --win64)
  endif()
  set(tlb ${CMAKE_CURRENT_BINARY_DIR}/${name}.tlb)
  set(outputs ${tlb})
  set(commands COMMAND ${KELMO_WIDL} ${arch} -I${KELMO_WIDL_IMPORTS} -L${KELMO_STDOLE_DIR} -t -o ${tlb} ${idl}
                COMMAND ${KELMO_PYTHON} ${PROJECT_SOURCE_DIR}/cmake/date_type_library.py ${tlb} ${KELMO_SOURCE_DATE_EPOCH})
  if(ARG_HEADER)
    set(header ${CMAKE_CURRENT_BINARY_DIR}/${name}.h)
    list(APPEND outputs ${header})
    list(APPEND commands COMMAND ${KELMO_WIDL} ${arch} -I${KELMO_WIDL_IMPORTS} -h -o ${header} ${idl})
  endif()
  add_custom_command(OUTPUT ${outputs} ${commands}
    DEPENDS ${idl} ${PROJECT_SOURCE_DIR}/cmake/date_type_library.py VERBATIM)
  add_custom_target(${name}_idl DEPENDS ${outputs})
endfunction()

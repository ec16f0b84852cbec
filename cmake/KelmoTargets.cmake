# Build settings shared by the project's targets.

# Warnings are errors everywhere in our own code.
add_library(kelmo_warnings INTERFACE)
target_compile_options(kelmo_warnings INTERFACE -Wall -Wextra -Werror -Wshadow -Wcast-function-type)

# COM interfaces as plain records with the platform's own tables of operations.
add_library(kelmo_com INTERFACE)
target_compile_definitions(kelmo_com INTERFACE CINTERFACE COBJMACROS WIN32_LEAN_AND_MEAN NOMINMAX)

# Code that runs without a language runtime: no exceptions, no RTTI, no guarded
# statics, nothing the compiler would need a support library for.
add_library(kelmo_freestanding INTERFACE)
target_compile_options(kelmo_freestanding INTERFACE
  -fno-exceptions -fno-rtti -fno-threadsafe-statics -fno-stack-protector
  -ffunction-sections -fdata-sections)
if(KELMO_WIN32)
  # No unwind tables in the deliverable; the 64-bit build keeps the ones its
  # platform needs to unwind through our frames.
  target_compile_options(kelmo_freestanding INTERFACE -fno-asynchronous-unwind-tables -fno-unwind-tables)
endif()
target_link_libraries(kelmo_freestanding INTERFACE kelmo_warnings kelmo_com)

set(KELMO_PYTHON /usr/bin/python3 -B)  # Debian's interpreter, which has pefile; -B: no bytecode in the source tree

# kelmo_ship_with_symbols(TARGET PDB_NAME): the program's public symbols go to
# PDB_NAME beside it, and the program, stripped still, carries a CodeView
# record that names PDB_NAME with a GUID derived from its build id, by which a
# debugger finds that PDB and no other. The folders ld writes into the PDB are
# then mapped as the compiler maps them. The 32-bit programs are marked as
# registering no SEH handler: none of their code touches the handler chain
# (the static checks disassemble them to hold that).
file(REAL_PATH ${PROJECT_SOURCE_DIR} KELMO_REAL_SOURCE_DIR)
file(REAL_PATH ${CMAKE_BINARY_DIR} KELMO_REAL_BINARY_DIR)
function(kelmo_ship_with_symbols target pdb_name)
  set(pdb $<TARGET_FILE_DIR:${target}>/${pdb_name})
  target_link_options(${target} PRIVATE "-Wl,--pdb=${pdb}" -Wl,--build-id)
  if(KELMO_WIN32)
    target_link_options(${target} PRIVATE -Wl,--no-seh)
  endif()
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${KELMO_PYTHON} ${PROJECT_SOURCE_DIR}/cmake/pdb_file.py map-paths ${pdb}
            ${KELMO_REAL_BINARY_DIR}=build ${KELMO_REAL_SOURCE_DIR}=. VERBATIM)
  set_property(TARGET ${target} APPEND PROPERTY ADDITIONAL_CLEAN_FILES ${pdb})
endfunction()

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

# The deliverable: 32-bit Windows. Built and checked statically; never executed here.
set(KELMO_TRIPLET i686-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR i686)
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)

# The same sources for 64-bit Windows, executed under 64-bit Wine by the tests.
set(KELMO_TRIPLET x86_64-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)
set(CMAKE_CROSSCOMPILING_EMULATOR /usr/lib/wine/wine64 CACHE FILEPATH "the Wine that runs this build")

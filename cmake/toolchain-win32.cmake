# The deliverable: 32-bit Windows. Checked statically here; its tests run under
# 32-bit Wine in the i386 guest (`make test32`).
set(KELMO_TRIPLET i686-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR i686)
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)
set(CMAKE_CROSSCOMPILING_EMULATOR /usr/lib/wine/wine CACHE FILEPATH "the Wine that runs this build")

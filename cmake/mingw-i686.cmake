# Cross build of the 32-bit Windows executable with MinGW-w64 (i686): the product.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(VANTREL_MINGW_PREFIX i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)

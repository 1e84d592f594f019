# Cross build of the same sources as a 64-bit Windows executable (x86-64).
# Not the product: it exists so that the end-to-end tests can run under
# Wine's 64-bit loader on kernels that cannot execute 32-bit programs.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(VANTREL_MINGW_PREFIX x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)

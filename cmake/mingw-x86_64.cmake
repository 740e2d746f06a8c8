# mingw-x86_64.cmake -- cross toolchain for a 64-bit Windows build of the same
# sources, used to run the tests on machines that run no 32-bit programs.
# The deliverables are always built with mingw-i686.cmake.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(TOOLCHAIN_PREFIX x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)

# The plain "wine" command prefers the 32-bit loader whenever it is installed.
set(CMAKE_CROSSCOMPILING_EMULATOR /usr/lib/wine/wine64)

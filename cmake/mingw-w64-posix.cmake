# Cross-building velmir-net.exe with MinGW-w64's posix thread model: its map
# page (cpp-httplib) answers on C++ threads, which the default win32 model's
# libstdc++ lacks. Only the companion is built this way (build-win-net):
# win.xpl and the host stay with cmake/mingw-w64.cmake, so their imports never
# gain the threads' runtime. velmir-net links it statically.
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)

# Cross build for 32-bit Windows with MinGW-w64 (i686), Win32 threads unless the build asks for
# the POSIX model (the tests that run under Wine: GoogleTest needs std::mutex).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)
if(NOT ZELVORAN_MINGW_THREADS)
    set(ZELVORAN_MINGW_THREADS win32)
endif()

set(CMAKE_C_COMPILER i686-w64-mingw32-gcc-${ZELVORAN_MINGW_THREADS})
set(CMAKE_CXX_COMPILER i686-w64-mingw32-g++-${ZELVORAN_MINGW_THREADS})
set(CMAKE_RC_COMPILER i686-w64-mingw32-windres)

set(CMAKE_FIND_ROOT_PATH /usr/i686-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# Cross build for 64-bit Windows with Debian's mingw-w64 (posix threads, for
# std::thread). Also builds the static Qt for Windows, so it sets only the tools.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

# The static Qt that scripts/qt-windows.sh built, with the host's Qt tools.
include(${CMAKE_CURRENT_LIST_DIR}/qt-windows.cmake)
if(EXISTS ${ZV_QT_WINDOWS_PREFIX}/.complete)
  list(APPEND CMAKE_PREFIX_PATH ${ZV_QT_WINDOWS_PREFIX})
  set(QT_HOST_PATH /usr)
  set(QT_HOST_PATH_CMAKE_DIR /usr/lib/x86_64-linux-gnu/cmake)
endif()

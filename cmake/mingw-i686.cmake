# Cross-compiles for 32-bit Windows with Debian's mingw-w64 (posix thread model: GoogleTest
# needs std::mutex, which the win32-model compilers lack).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)

set(tool_prefix i686-w64-mingw32)
set(CMAKE_C_COMPILER ${tool_prefix}-gcc-posix)
set(CMAKE_CXX_COMPILER ${tool_prefix}-g++-posix)
set(CMAKE_RC_COMPILER ${tool_prefix}-windres)
set(CMAKE_AR ${tool_prefix}-ar CACHE FILEPATH "")
set(CMAKE_RANLIB ${tool_prefix}-ranlib CACHE FILEPATH "")
set(CMAKE_STRIP ${tool_prefix}-strip CACHE FILEPATH "")

set(CMAKE_FIND_ROOT_PATH /usr/${tool_prefix})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# Test executables run through Wine (see tests/wine/run-wine).
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../tests/wine/run-wine)

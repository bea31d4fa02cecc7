# Cross build of the 64-bit Windows program and its tests, which ctest runs
# under wine64 (tools/wine-run, in its 64-bit wine prefix).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(KORENDEZO_MINGW x86_64-w64-mingw32)
# The POSIX thread model: GoogleTest needs std::mutex, which the win32
# model's library lacks. The static link takes the thread library in.
set(CMAKE_C_COMPILER ${KORENDEZO_MINGW}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KORENDEZO_MINGW}-g++-posix)
set(CMAKE_RC_COMPILER ${KORENDEZO_MINGW}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${KORENDEZO_MINGW})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../tools/wine-run)

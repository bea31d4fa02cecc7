# Cross build of the Windows program: 32-bit, as it is shipped. A static
# link leaves it needing no DLL beyond the system's.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)
set(KORENDEZO_MINGW i686-w64-mingw32)
set(CMAKE_C_COMPILER ${KORENDEZO_MINGW}-gcc)
set(CMAKE_CXX_COMPILER ${KORENDEZO_MINGW}-g++)
set(CMAKE_RC_COMPILER ${KORENDEZO_MINGW}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${KORENDEZO_MINGW})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

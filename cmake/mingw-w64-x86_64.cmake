# Cross-builds for 64-bit Windows with Debian's mingw-w64 (posix threads, for
# std::thread and std::jthread). Test programs run through Wine.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)

set(KINOVAR_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${KINOVAR_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KINOVAR_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${KINOVAR_MINGW_PREFIX}-windres)
set(CMAKE_DLLTOOL ${KINOVAR_MINGW_PREFIX}-dlltool)

set(CMAKE_FIND_ROOT_PATH /usr/${KINOVAR_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Only system DLLs at run time: no libstdc++, libgcc or winpthread beside us.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

find_program(KINOVAR_WINE NAMES wine64 wine)
if(KINOVAR_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${KINOVAR_WINE})
endif()

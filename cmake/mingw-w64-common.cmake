# Shared by the MinGW-w64 toolchain files, which set CMAKE_SYSTEM_PROCESSOR
# and KADREL_MINGW_TRIPLET first. The -posix compilers give std::thread and
# std::mutex through winpthreads.
set(CMAKE_SYSTEM_NAME Windows)

set(CMAKE_C_COMPILER ${KADREL_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KADREL_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${KADREL_MINGW_TRIPLET}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${KADREL_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Lets ctest run the test programs under Wine.
find_program(KADREL_WINE wine)
if(KADREL_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${KADREL_WINE})
endif()

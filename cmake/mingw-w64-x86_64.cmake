# Cross build for 64-bit Windows with MinGW-w64 (Debian: g++-mingw-w64-x86-64).
# The -posix compilers give std::thread and std::mutex through winpthreads.
#   cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(KADREL_MINGW_TRIPLET x86_64-w64-mingw32)
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

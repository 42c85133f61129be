# find_package(kadrel) gives kadrel::kadrel: the shared library, carrying the
# folder of kadrel.h, so that linking it is all a host's CMake project does.
include(${CMAKE_CURRENT_LIST_DIR}/kadrelTargets.cmake)

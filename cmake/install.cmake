# What `cmake --install` puts under the prefix (GNU directory names):
#   include/kadrel.h
#   lib/libkadrel.so.1.0.0 with libkadrel.so.1 and libkadrel.so (Linux);
#   bin/kadrel.dll and lib/libkadrel.dll.a, its import library (Windows)
#   bin/kadrel-sample
#   lib/cmake/kadrel/    find_package(kadrel): the target kadrel::kadrel
#   lib/pkgconfig/kadrel.pc
# `cmake --install <build> --strip` leaves the debug information behind.
include(CMakePackageConfigHelpers)

install(TARGETS kadrel EXPORT kadrelTargets
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(TARGETS kadrel-sample RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${CMAKE_SOURCE_DIR}/include/kadrel.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

set(KADREL_PACKAGE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/kadrel)
install(EXPORT kadrelTargets NAMESPACE kadrel:: DESTINATION ${KADREL_PACKAGE_DIR})
# A host may take any 1.x: the exports change only with the major version.
# The version file also refuses a package built for another pointer size.
write_basic_package_version_file(${CMAKE_BINARY_DIR}/kadrelConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_SOURCE_DIR}/cmake/kadrelConfig.cmake
              ${CMAKE_BINARY_DIR}/kadrelConfigVersion.cmake
        DESTINATION ${KADREL_PACKAGE_DIR})

# kadrel.pc finds the prefix from its own folder, like the CMake package, so
# that `cmake --install --prefix` and a moved tree need nothing rewritten.
file(RELATIVE_PATH KADREL_PC_TO_PREFIX ${CMAKE_INSTALL_FULL_LIBDIR}/pkgconfig ${CMAKE_INSTALL_PREFIX})
string(REGEX REPLACE "/$" "" KADREL_PC_TO_PREFIX ${KADREL_PC_TO_PREFIX})
foreach(dir INCLUDEDIR LIBDIR)
  if(IS_ABSOLUTE ${CMAKE_INSTALL_${dir}})
    set(KADREL_PC_${dir} ${CMAKE_INSTALL_${dir}})
  else()
    set(KADREL_PC_${dir} "\${prefix}/${CMAKE_INSTALL_${dir}}")
  endif()
endforeach()
configure_file(${CMAKE_SOURCE_DIR}/cmake/kadrel.pc.in ${CMAKE_BINARY_DIR}/kadrel.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/kadrel.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

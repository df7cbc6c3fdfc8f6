# What a host project finds after `cmake --install`: the CMake package
# (find_package(kavtel 1) gives the imported target kavtel::kavtel) and the
# pkg-config file kavtel.pc. Both are relocatable: they locate the install
# from their own place, so any --prefix works.
include(CMakePackageConfigHelpers)

set(KAVTEL_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/kavtel)
install(EXPORT kavtelTargets NAMESPACE kavtel:: DESTINATION ${KAVTEL_CMAKE_DIR})
configure_package_config_file(cmake/kavtelConfig.cmake.in
  ${PROJECT_BINARY_DIR}/package/kavtelConfig.cmake
  INSTALL_DESTINATION ${KAVTEL_CMAKE_DIR})
# Any 1.x satisfies find_package(kavtel 1): the flat API only grows within a
# major version.
write_basic_package_version_file(${PROJECT_BINARY_DIR}/package/kavtelConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES
  ${PROJECT_BINARY_DIR}/package/kavtelConfig.cmake
  ${PROJECT_BINARY_DIR}/package/kavtelConfigVersion.cmake
  DESTINATION ${KAVTEL_CMAKE_DIR})

# kavtel.pc finds the prefix from its own folder (${pcfiledir}).
file(RELATIVE_PATH KAVTEL_PC_TO_PREFIX
  /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
string(REGEX REPLACE "/$" "" KAVTEL_PC_TO_PREFIX "${KAVTEL_PC_TO_PREFIX}")
configure_file(cmake/kavtel.pc.in ${PROJECT_BINARY_DIR}/package/kavtel.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/package/kavtel.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

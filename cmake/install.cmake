# What `cmake --install` gives a C++ program that uses the library, as the
# component "devel": the headers of the connection handle, packets and
# statistics (under include/orvalis/), the static library, a CMake package
# (find_package(orvalis) gives orvalis::orvalis) and a pkg-config file.
# The wheels install their own components only.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(orvalis_cmake_dir ${CMAKE_INSTALL_LIBDIR}/cmake/orvalis)

target_include_directories(orvalis INTERFACE $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
target_compile_features(orvalis INTERFACE cxx_std_17)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/orvalis
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT devel)
install(TARGETS orvalis orvalis_capture EXPORT orvalisTargets
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT devel)
install(EXPORT orvalisTargets NAMESPACE orvalis::
        DESTINATION ${orvalis_cmake_dir} COMPONENT devel)

configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/orvalisConfig.cmake.in
                              ${PROJECT_BINARY_DIR}/orvalisConfig.cmake
                              INSTALL_DESTINATION ${orvalis_cmake_dir})
# The package's version is the whole text ("1.0a3"); CMake compares its
# numeric start.
write_basic_package_version_file(${PROJECT_BINARY_DIR}/orvalisConfigVersion.cmake
                                 VERSION ${ORVALIS_VERSION_TEXT}
                                 COMPATIBILITY SameMinorVersion)
install(FILES ${PROJECT_BINARY_DIR}/orvalisConfig.cmake
              ${PROJECT_BINARY_DIR}/orvalisConfigVersion.cmake
        DESTINATION ${orvalis_cmake_dir} COMPONENT devel)

# The pkg-config file finds the prefix from its own place, so that
# `cmake --install --prefix` anywhere gives a working file.
file(RELATIVE_PATH orvalis_pc_prefix /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
configure_file(${PROJECT_SOURCE_DIR}/cmake/orvalis.pc.in ${PROJECT_BINARY_DIR}/orvalis.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/orvalis.pc
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT devel)

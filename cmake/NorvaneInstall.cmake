# Install the SDK library and its public headers; export NorvaneSDK::sdk for find_package(NorvaneSDK)
# and describe it for pkg-config.
include(CMakePackageConfigHelpers)

install(TARGETS norvane_sdk EXPORT NorvaneSDKTargets
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/norvane DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

set(NORVANE_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/NorvaneSDK)
install(EXPORT NorvaneSDKTargets NAMESPACE NorvaneSDK:: DESTINATION ${NORVANE_CMAKE_DIR})
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/NorvaneSDKConfig.cmake.in
                              ${PROJECT_BINARY_DIR}/NorvaneSDKConfig.cmake INSTALL_DESTINATION ${NORVANE_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/NorvaneSDKConfigVersion.cmake
                                 COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/NorvaneSDKConfig.cmake ${PROJECT_BINARY_DIR}/NorvaneSDKConfigVersion.cmake
        DESTINATION ${NORVANE_CMAKE_DIR})

configure_file(${PROJECT_SOURCE_DIR}/cmake/norvane_sdk.pc.in ${PROJECT_BINARY_DIR}/norvane_sdk.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/norvane_sdk.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

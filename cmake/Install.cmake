# Installation: shared libraries with a versioned soname, the public headers, an exported CMake
# package (find_package(canbus) gives canbus::canbus, canbus::framework, canbus::ntcan,
# canbus::sim), pkg-config files (canbus, canbus-sim), and the README and the guide with the examples' sources.
include(CMakePackageConfigHelpers)

set(CANBUS_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/canbus)

set_target_properties(canbus_framework PROPERTIES EXPORT_NAME framework)
set_target_properties(canbus PROPERTIES EXPORT_NAME canbus)
set(_canbus_targets canbus_framework canbus)
if(NOT CANBUS_USE_VENDOR_NTCAN)
  set_target_properties(ntcan PROPERTIES EXPORT_NAME ntcan)
  list(APPEND _canbus_targets ntcan)
endif()
if(TARGET canbus_sim)
  set_target_properties(canbus_sim PROPERTIES EXPORT_NAME sim)
  list(APPEND _canbus_targets canbus_sim)
endif()

install(TARGETS ${_canbus_targets} EXPORT canbusTargets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

# D_esdcan.h is the header device servers include; it includes the others. Every public header
# is named can_*.h (the drive layer, can_drive.h, is included on its own); the others are the
# library's own.
file(GLOB _canbus_headers ${PROJECT_SOURCE_DIR}/canbus/can_*.h)
install(FILES canbus/D_esdcan.h ${_canbus_headers} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/canbus)
file(GLOB _framework_headers ${PROJECT_SOURCE_DIR}/framework/*.h)
install(FILES ${_framework_headers} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/canbus/framework)
if(NOT CANBUS_USE_VENDOR_NTCAN)
  install(FILES ntcan/ntcan.h ntcan/ntcan_wait.h ntcan/ntcan_open_error.h ntcan/vbus.h
                ntcan/canlog.h ntcan/recorder.h ntcan/net_counts.h
          DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/canbus/ntcan)
endif()
if(TARGET canbus_sim)
  install(FILES sim/canopen_node.h sim/replay_node.h sim/pdo_producer.h sim/sdo_block.h
                sim/drive_model.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/canbus/sim)
endif()

install(EXPORT canbusTargets NAMESPACE canbus:: DESTINATION ${CANBUS_INSTALL_CMAKEDIR})
configure_package_config_file(cmake/canbusConfig.cmake.in
                              ${PROJECT_BINARY_DIR}/canbusConfig.cmake
                              INSTALL_DESTINATION ${CANBUS_INSTALL_CMAKEDIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/canbusConfigVersion.cmake
                                 COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/canbusConfig.cmake
              ${PROJECT_BINARY_DIR}/canbusConfigVersion.cmake
        DESTINATION ${CANBUS_INSTALL_CMAKEDIR})

configure_file(cmake/canbus.pc.in ${PROJECT_BINARY_DIR}/canbus.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/canbus.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
if(TARGET canbus_sim)
  configure_file(cmake/canbus-sim.pc.in ${PROJECT_BINARY_DIR}/canbus-sim.pc @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/canbus-sim.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
endif()

# The README (configuration reference, requests of canbus-server) and the guide; canbus-server
# --help names this directory.
install(FILES README.md docs/guide.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(DIRECTORY examples/ DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)

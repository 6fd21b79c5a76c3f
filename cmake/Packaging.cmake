include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

# Two export sets: the serial libraries (QVL3DToolTargets.cmake), which link
# no MPI, and the MPI transports (QVL3DToolMPITargets.cmake), loaded only
# when a host asks for the MPI component.
install(TARGETS QVL3DTool QVLCommunication
  EXPORT QVL3DToolTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

get_property(_public_headers GLOBAL PROPERTY QVL3D_PUBLIC_HEADERS)
install(FILES include/qvl3d/QVL3DTool.h ${_public_headers}
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/qvl3d)

install(EXPORT QVL3DToolTargets
  NAMESPACE QVL3DTool::
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/QVL3DTool)

if(QVL3D_WITH_MPI)
  install(TARGETS QVLCommunicationMPI
    EXPORT QVL3DToolMPITargets
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
    ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
    RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
    INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
  get_property(_mpi_public_headers GLOBAL PROPERTY QVL3D_MPI_PUBLIC_HEADERS)
  install(FILES ${_mpi_public_headers} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/qvl3d)
  install(EXPORT QVL3DToolMPITargets
    NAMESPACE QVL3DTool::
    DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/QVL3DTool)
endif()

configure_package_config_file(cmake/QVL3DToolConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/QVL3DToolConfig.cmake
  INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/QVL3DTool)
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/QVL3DToolConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES
  ${CMAKE_CURRENT_BINARY_DIR}/QVL3DToolConfig.cmake
  ${CMAKE_CURRENT_BINARY_DIR}/QVL3DToolConfigVersion.cmake
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/QVL3DTool)

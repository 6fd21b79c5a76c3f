include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

# Versioned shared libraries: libX.so -> libX.so.<major> -> libX.so.<version>,
# SONAME libX.so.<major>. The README says when the major version changes.
set(_qvl3d_shared_libraries QVL3DTool QVLCommunication)
if(QVL3D_WITH_MPI)
  list(APPEND _qvl3d_shared_libraries QVLCommunicationMPI)
endif()
set_target_properties(${_qvl3d_shared_libraries} PROPERTIES
  VERSION ${PROJECT_VERSION}
  SOVERSION ${PROJECT_VERSION_MAJOR})

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

# pkg-config files for hosts built without CMake. They locate the prefix from
# their own folder, so a staged install (cmake --install --prefix) works too.
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}" OR IS_ABSOLUTE "${CMAKE_INSTALL_INCLUDEDIR}")
  set(QVL3D_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
else()
  file(RELATIVE_PATH _pc_to_prefix /${CMAKE_INSTALL_LIBDIR}/pkgconfig /)
  string(REGEX REPLACE "/$" "" _pc_to_prefix "${_pc_to_prefix}")
  set(QVL3D_PC_PREFIX "\${pcfiledir}/${_pc_to_prefix}")
endif()
configure_file(cmake/qvl3dtool.pc.in ${CMAKE_CURRENT_BINARY_DIR}/qvl3dtool.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/qvl3dtool.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
if(QVL3D_WITH_MPI)
  # Debian's module for the default MPI's C++ compiler flags and libraries.
  set(QVL3D_PC_MPI_MODULE "mpi-cxx" CACHE STRING "pkg-config module that qvl3dtool-mpi.pc requires for MPI")
  configure_file(cmake/qvl3dtool-mpi.pc.in ${CMAKE_CURRENT_BINARY_DIR}/qvl3dtool-mpi.pc @ONLY)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/qvl3dtool-mpi.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
endif()

# The command and its manual page. The run path finds the libraries beside
# it, in the installed lib folder.
file(RELATIVE_PATH _bin_to_lib /${CMAKE_INSTALL_BINDIR} /${CMAKE_INSTALL_LIBDIR})
set_target_properties(qvl3d-solve PROPERTIES INSTALL_RPATH "$ORIGIN/${_bin_to_lib}")
install(TARGETS qvl3d-solve RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
configure_file(docs/qvl3d-solve.1 ${CMAKE_CURRENT_BINARY_DIR}/qvl3d-solve.1 @ONLY) # the version in its footer
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/qvl3d-solve.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

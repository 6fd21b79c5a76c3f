include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

# Versioned shared libraries: libX.so -> libX.so.<major> -> libX.so.<version>,
# SONAME libX.so.<major>. The README says when the major version changes.
set(_qvl3d_shared_libraries QVL3DTool QVLCommunication QVL3DToolC)
if(QVL3D_WITH_MPI)
  list(APPEND _qvl3d_shared_libraries QVLCommunicationMPI QVL3DToolCMPI)
endif()
set_target_properties(${_qvl3d_shared_libraries} PROPERTIES
  VERSION ${PROJECT_VERSION}
  SOVERSION ${PROJECT_VERSION_MAJOR})
# Every library records its C library dependency, even one whose own code
# calls nothing from it directly (the communication library), as Debian's
# checks require of a shared library.
foreach(_library IN LISTS _qvl3d_shared_libraries)
  target_link_options(${_library} PRIVATE "LINKER:--push-state,--no-as-needed,-lc,--pop-state")
endforeach()

# Install components, which the Debian packages below follow: the serial
# runtime libraries, their development files, the MPI transport's runtime and
# development files, and the command. Export sets: the serial libraries
# (QVL3DToolTargets.cmake), which link no MPI, and the MPI transport
# (QVL3DToolMPITargets.cmake), loaded only when a host asks for the MPI
# component. The C interface (QVL3DTool::C) goes with the serial libraries;
# its distributed form (QVL3DTool::CMPI) has a set of its own
# (QVL3DToolCMPITargets.cmake) that names no MPI target, so that a C or
# Fortran host that finds MPI for its own language alone can load it; the
# Fortran module's target too (QVL3DToolFortranTargets.cmake), loaded by the
# Fortran component.
install(TARGETS QVL3DTool QVLCommunication QVL3DToolC
  EXPORT QVL3DToolTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT dev
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime)

# Every public header sits in include/qvl3d/; the MPI transport's header and
# the distributed front door's go with the MPI development files.
install(DIRECTORY include/qvl3d DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT dev
  FILES_MATCHING PATTERN "*.h" PATTERN "MpiTransport.h" EXCLUDE PATTERN "DistributedSolve.h" EXCLUDE
  PATTERN "qvl3d_mpi.h" EXCLUDE)

install(EXPORT QVL3DToolTargets
  NAMESPACE QVL3DTool::
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/QVL3DTool
  COMPONENT dev)

if(QVL3D_WITH_MPI)
  foreach(_set MPI CMPI)
    set(_target QVLCommunicationMPI)
    if(_set STREQUAL "CMPI")
      set(_target QVL3DToolCMPI)
    endif()
    install(TARGETS ${_target}
      EXPORT QVL3DTool${_set}Targets
      LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT mpi-runtime NAMELINK_COMPONENT mpi-dev
      ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT mpi-dev
      RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT mpi-runtime)
    install(EXPORT QVL3DTool${_set}Targets
      NAMESPACE QVL3DTool::
      DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/QVL3DTool
      COMPONENT mpi-dev)
  endforeach()
  install(FILES include/qvl3d/MpiTransport.h include/qvl3d/DistributedSolve.h include/qvl3d/qvl3d_mpi.h
    DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/qvl3d COMPONENT mpi-dev)
endif()

# The Fortran module file, compiler-specific, beside the headers in a folder
# of its own that QVL3DTool::Fortran puts on the include path.
if(TARGET QVL3DToolFortran)
  install(TARGETS QVL3DToolFortran EXPORT QVL3DToolFortranTargets COMPONENT dev)
  install(FILES ${PROJECT_BINARY_DIR}/capi/fortran/qvl3d.mod
    DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/qvl3d/fortran COMPONENT dev)
  install(EXPORT QVL3DToolFortranTargets
    NAMESPACE QVL3DTool::
    DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/QVL3DTool
    COMPONENT dev)
endif()

configure_package_config_file(cmake/QVL3DToolConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/QVL3DToolConfig.cmake
  INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/QVL3DTool)
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/QVL3DToolConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES
  ${CMAKE_CURRENT_BINARY_DIR}/QVL3DToolConfig.cmake
  ${CMAKE_CURRENT_BINARY_DIR}/QVL3DToolConfigVersion.cmake
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/QVL3DTool
  COMPONENT dev)

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
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/qvl3dtool.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT dev)
configure_file(cmake/qvl3dtool-c.pc.in ${CMAKE_CURRENT_BINARY_DIR}/qvl3dtool-c.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/qvl3dtool-c.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT dev)
# The Fortran module's folder, for hosts that build with gfortran and
# pkg-config (the library is the C interface's).
if(TARGET QVL3DToolFortran)
  configure_file(cmake/qvl3dtool-fortran.pc.in ${CMAKE_CURRENT_BINARY_DIR}/qvl3dtool-fortran.pc @ONLY)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/qvl3dtool-fortran.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig
    COMPONENT dev)
endif()
if(QVL3D_WITH_MPI)
  # Debian's module for the default MPI's C++ compiler flags and libraries.
  set(QVL3D_PC_MPI_MODULE "mpi-cxx" CACHE STRING "pkg-config module that qvl3dtool-mpi.pc requires for MPI")
  configure_file(cmake/qvl3dtool-mpi.pc.in ${CMAKE_CURRENT_BINARY_DIR}/qvl3dtool-mpi.pc @ONLY)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/qvl3dtool-mpi.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT mpi-dev)
endif()

# The command and its manual page. Installed anywhere but the system prefix,
# its run path finds the libraries in the installed lib folder, and each
# library finds the ones it needs beside itself (the solver library needs
# the communication library, the MPI library both); under /usr (the Debian
# package) the loader finds them and no run path is set.
if(NOT CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  file(RELATIVE_PATH _bin_to_lib /${CMAKE_INSTALL_BINDIR} /${CMAKE_INSTALL_LIBDIR})
  set_target_properties(qvl3d-solve PROPERTIES INSTALL_RPATH "$ORIGIN/${_bin_to_lib}")
  set_target_properties(${_qvl3d_shared_libraries} PROPERTIES INSTALL_RPATH "$ORIGIN")
endif()
install(TARGETS qvl3d-solve RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT command)
configure_file(docs/qvl3d-solve.1 ${CMAKE_CURRENT_BINARY_DIR}/man/qvl3d-solve.1 @ONLY) # the version in its footer
find_program(QVL3D_GZIP gzip REQUIRED)
add_custom_command(OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/qvl3d-solve.1.gz
  COMMAND ${QVL3D_GZIP} -9nc ${CMAKE_CURRENT_BINARY_DIR}/man/qvl3d-solve.1 > ${CMAKE_CURRENT_BINARY_DIR}/qvl3d-solve.1.gz
  DEPENDS ${CMAKE_CURRENT_BINARY_DIR}/man/qvl3d-solve.1
  VERBATIM)
add_custom_target(qvl3d-manpage ALL DEPENDS ${CMAKE_CURRENT_BINARY_DIR}/qvl3d-solve.1.gz)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/qvl3d-solve.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT command)

include(DebianPackage)

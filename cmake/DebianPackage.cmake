# Debian packages from the install components (cpack -G DEB in the build
# folder, configured with -DCMAKE_INSTALL_PREFIX=/usr):
#   libqvl3dtool0        the serial solver, communication and C interface libraries
#   libqvl3dtool-dev     their headers, Fortran module, CMake package and pkg-config files
#   libqvl3dtool-mpi0    the MPI transport and the C interface's distributed form (when built with MPI)
#   libqvl3dtool-mpi-dev their headers, CMake component and pkg-config file
#   qvl3d-solve          the command and its manual page
# Library dependencies come from dpkg-shlibdeps; the packages among
# themselves depend on the exact version.

set(_deb_version "${PROJECT_VERSION}-1")
set(_deb_runtime libqvl3dtool${PROJECT_VERSION_MAJOR})
set(_deb_mpi_runtime libqvl3dtool-mpi${PROJECT_VERSION_MAJOR})

set(_deb_components runtime dev command)
if(QVL3D_WITH_MPI)
  list(APPEND _deb_components mpi-runtime mpi-dev)
endif()

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME ${_deb_runtime})
set(CPACK_DEBIAN_DEV_PACKAGE_NAME libqvl3dtool-dev)
set(CPACK_DEBIAN_MPI-RUNTIME_PACKAGE_NAME ${_deb_mpi_runtime})
set(CPACK_DEBIAN_MPI-DEV_PACKAGE_NAME libqvl3dtool-mpi-dev)
set(CPACK_DEBIAN_COMMAND_PACKAGE_NAME qvl3d-solve)

# Every package carries its copyright file and changelog, as Debian's policy
# asks; plain installs leave them out.
set(_deb_changelog ${CMAKE_CURRENT_BINARY_DIR}/debian/changelog.Debian.gz)
add_custom_command(OUTPUT ${_deb_changelog}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_CURRENT_BINARY_DIR}/debian
  COMMAND ${QVL3D_GZIP} -9nc ${PROJECT_SOURCE_DIR}/packaging/debian/changelog > ${_deb_changelog}
  DEPENDS ${PROJECT_SOURCE_DIR}/packaging/debian/changelog
  VERBATIM)
add_custom_target(qvl3d-debian-changelog ALL DEPENDS ${_deb_changelog})
foreach(_component IN LISTS _deb_components)
  string(TOUPPER ${_component} _upper)
  set(_package ${CPACK_DEBIAN_${_upper}_PACKAGE_NAME})
  install(FILES packaging/debian/copyright ${_deb_changelog}
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${_package}
    COMPONENT ${_component} EXCLUDE_FROM_ALL)
endforeach()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME qvl3dtool)
set(CPACK_PACKAGE_VENDOR "QVL3DTool developers")
set(CPACK_PACKAGE_CONTACT "QVL3DTool developers <qvl3dtool-dev@lists.invalid>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "sparse linear solvers for 3-D finite-volume systems")
set(CPACK_COMPONENTS_ALL ${_deb_components})
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION science)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY "=")
set(CPACK_STRIP_FILES ON)
# The library packages tell the loader's cache through dpkg's trigger.
file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/debian/triggers "activate-noawait ldconfig\n")
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA ${CMAKE_CURRENT_BINARY_DIR}/debian/triggers)
set(CPACK_DEBIAN_MPI-RUNTIME_PACKAGE_CONTROL_EXTRA ${CMAKE_CURRENT_BINARY_DIR}/debian/triggers)
# Our own libraries, for dpkg-shlibdeps, from the build tree.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS
  ${CMAKE_BINARY_DIR}/solver ${CMAKE_BINARY_DIR}/comm ${CMAKE_BINARY_DIR}/mpi ${CMAKE_BINARY_DIR}/capi)

set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_MPI-RUNTIME_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_MPI-DEV_PACKAGE_SECTION libdevel)

set(_deb_exact "(= ${_deb_version})")
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "${_deb_runtime} ${_deb_exact}")
set(CPACK_DEBIAN_MPI-RUNTIME_PACKAGE_DEPENDS "${_deb_runtime} ${_deb_exact}")
set(CPACK_DEBIAN_MPI-DEV_PACKAGE_DEPENDS
  "libqvl3dtool-dev ${_deb_exact}, ${_deb_mpi_runtime} ${_deb_exact}, mpi-default-dev")
if(QVL3D_WITH_MPI)
  set(CPACK_DEBIAN_COMMAND_PACKAGE_DEPENDS "${_deb_runtime} ${_deb_exact}, ${_deb_mpi_runtime} ${_deb_exact}")
else()
  set(CPACK_DEBIAN_COMMAND_PACKAGE_DEPENDS "${_deb_runtime} ${_deb_exact}")
endif()

set(CPACK_COMPONENT_RUNTIME_DESCRIPTION "sparse linear solvers for 3-D finite-volume systems (libraries)
 Point Gauss-Seidel, preconditioned conjugate gradients and BiCGSTAB with
 DILU or diagonal preconditioning over three matrix layouts, on one
 partition of a domain-decomposed mesh, with the halo exchange and global
 sums they use. This package holds the serial shared libraries, the C
 interface among them.")
set(CPACK_COMPONENT_DEV_DESCRIPTION "sparse linear solvers for 3-D finite-volume systems (development files)
 Headers (reached as <qvl3d/Name.h>, the C interface as <qvl3d/qvl3d.h>),
 the Fortran module qvl3d, the CMake package QVL3DTool and the pkg-config
 modules qvl3dtool and qvl3dtool-c for building hosts against the serial
 libraries.")
set(CPACK_COMPONENT_MPI-RUNTIME_DESCRIPTION "sparse linear solvers for 3-D finite-volume systems (MPI transport)
 The MPI halo exchange and global sums for distributed solves and the C
 interface's distributed form, in libraries of their own so that the serial
 libraries need no MPI.")
set(CPACK_COMPONENT_MPI-DEV_DESCRIPTION "sparse linear solvers for 3-D finite-volume systems (MPI development files)
 The MPI transport's header, the CMake component MPI of the QVL3DTool
 package and the pkg-config module qvl3dtool-mpi.")
set(CPACK_COMPONENT_COMMAND_DESCRIPTION "command-line solver for sparse linear systems
 qvl3d-solve solves box problems or Matrix Market systems with the
 QVL3DTool methods, serially or under mpiexec, and reports the residual
 history, a JSON record and a convergence plot.")

include(CPack)

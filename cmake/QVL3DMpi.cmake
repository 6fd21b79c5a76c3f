# Distributed runs over MPI. QVL3D_WITH_MPI defaults to ON when an MPI
# implementation is found; OFF builds the single-partition library only.
#
# QVL3D_MPIEXEC is the launch prefix of the project's own MPI tests and
# programs, without the rank count: mpiexec, the user's MPIEXEC_PREFLAGS and,
# for OpenMPI, --oversubscribe (the tests run more ranks than the machine has
# cores). QVL3D_MPIEXEC_ENV holds what OpenMPI wants in the environment to
# start as root.
find_package(MPI COMPONENTS CXX QUIET)
option(QVL3D_WITH_MPI "Build the MPI halo exchange and global sum" ${MPI_CXX_FOUND})

if(QVL3D_WITH_MPI)
  if(NOT MPI_CXX_FOUND)
    message(FATAL_ERROR "QVL3D_WITH_MPI is ON but no MPI C++ implementation was found "
                        "(install openmpi-bin and libopenmpi-dev, or configure with -DQVL3D_WITH_MPI=OFF)")
  endif()
  set(QVL3D_MPIEXEC ${MPIEXEC_EXECUTABLE})
  set(QVL3D_MPIEXEC_ENV "")
  execute_process(COMMAND ${MPIEXEC_EXECUTABLE} --version OUTPUT_VARIABLE _mpiexec_version ERROR_QUIET)
  if(_mpiexec_version MATCHES "Open MPI|OpenRTE")
    list(APPEND QVL3D_MPIEXEC --oversubscribe)
    set(QVL3D_MPIEXEC_ENV OMPI_ALLOW_RUN_AS_ROOT=1 OMPI_ALLOW_RUN_AS_ROOT_CONFIRM=1)
  endif()
  list(APPEND QVL3D_MPIEXEC ${MPIEXEC_PREFLAGS})
  message(STATUS "MPI: ${MPIEXEC_EXECUTABLE}, MPI ${MPI_CXX_VERSION}")
else()
  message(STATUS "MPI: off (single-partition build)")
endif()

# The Fortran check: FortranCheck writes the system, the Fortran program
# solves it through the module qvl3d, FortranCheck compares its solves with
# the C interface's. -DCHECK=, -DFORTRAN=, -DMATRIX=, -DWORK= (a folder).
file(MAKE_DIRECTORY ${WORK})
foreach(step "${CHECK};write;${MATRIX};${WORK}/system.txt" "${FORTRAN};${WORK}/system.txt;${WORK}/solves.txt"
             "${CHECK};check;${MATRIX};${WORK}/solves.txt")
  execute_process(COMMAND ${step} RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    list(JOIN step " " command)
    message(FATAL_ERROR "failed (${rc}): ${command}")
  endif()
endforeach()

# Runs a distributed qvl3d-solve twice with --output and checks that both
# runs converge (exit status 0) and write byte-identical solutions, and that a
# bad option is refused by every rank with status 2 instead of hanging.
# With JSON_MATCH, the first run also writes --json and its text must match
# that regular expression.
#   cmake -DLAUNCH=<mpiexec;flags;-n;P> -DSOLVE=<qvl3d-solve> -DARGS=<args> -DWORK=<dir> [-DJSON_MATCH=<regex>]
#         -P RunSolveTwice.cmake
file(MAKE_DIRECTORY ${WORK})
foreach(run 1 2)
  set(json "")
  if(DEFINED JSON_MATCH AND run EQUAL 1)
    set(json --json ${WORK}/summary.json)
  endif()
  execute_process(COMMAND ${LAUNCH} ${SOLVE} ${ARGS} ${json} --output ${WORK}/x${run}.mtx
                  RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "run ${run} exited with ${status}\n${out}\n${err}")
  endif()
endforeach()
if(NOT out MATCHES "ranks +[0-9]+ \\(" OR NOT out MATCHES "cells per rank" OR NOT out MATCHES "in global sums")
  message(FATAL_ERROR "the summary lacks the distributed lines:\n${out}")
endif()
if(DEFINED JSON_MATCH)
  file(READ ${WORK}/summary.json summary)
  if(NOT summary MATCHES "${JSON_MATCH}")
    message(FATAL_ERROR "the JSON summary does not match ${JSON_MATCH}:\n${summary}")
  endif()
endif()
execute_process(COMMAND ${CMAKE_COMMAND} -E compare_files ${WORK}/x1.mtx ${WORK}/x2.mtx RESULT_VARIABLE differ)
if(differ)
  message(FATAL_ERROR "two runs wrote different solutions: ${WORK}/x1.mtx ${WORK}/x2.mtx")
endif()
execute_process(COMMAND ${LAUNCH} ${SOLVE} ${ARGS} --tol -1 RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT status EQUAL 2)
  message(FATAL_ERROR "a bad option gave status ${status}, not 2\n${err}")
endif()

# The Python distributed solver's tests under mpiexec, then the C++
# distributed front door on the arrays the bit test wrote, rank by rank:
# the solutions, histories and residuals must be the same bytes.
#   cmake -DLAUNCH=<mpiexec;flags;-n;P> -DPYTHON=<python3> -DTESTS=<dir> -DDRIVER=<qvl3d_distributed_run>
#         -DWORK=<dir> -P RunDistributed.cmake
# The tests find WORK in QVL3D_DISTRIBUTED_WORK (the test's environment).
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK})
execute_process(COMMAND ${LAUNCH} ${PYTHON} -m pytest -q -p no:cacheprovider ${TESTS}
                RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "the Python tests exited with ${status}\n${out}\n${err}")
endif()
# One folder of rank folders per way of owning the rows.
file(GLOB kinds LIST_DIRECTORIES true ${WORK}/*)
foreach(kind ${kinds})
  execute_process(COMMAND ${LAUNCH} ${DRIVER} ${kind} RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "the C++ run on ${kind} exited with ${status}\n${out}\n${err}")
  endif()
endforeach()
file(GLOB written ${WORK}/*/rank*/py*.bin)
if(NOT written)
  message(FATAL_ERROR "the bit test wrote nothing into ${WORK}")
endif()
foreach(py ${written})
  string(REGEX REPLACE "/py([0-9]+)\\.bin$" "/cpp\\1.bin" cpp ${py})
  execute_process(COMMAND ${CMAKE_COMMAND} -E compare_files ${py} ${cpp} RESULT_VARIABLE differ)
  if(differ)
    message(FATAL_ERROR "the module and the C++ front door differ: ${py} ${cpp}")
  endif()
endforeach()

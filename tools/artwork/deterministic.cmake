# Runs the painter twice into fresh directories and compares every file byte for byte.
# Expects -DPAINTER=<mincer-artwork> -DWORK_DIR=<scratch directory>.
file(REMOVE_RECURSE ${WORK_DIR})
foreach(run first second)
    execute_process(COMMAND ${PAINTER} ${WORK_DIR}/${run} RESULT_VARIABLE result)
    if(NOT result EQUAL 0)
        message(FATAL_ERROR "mincer-artwork failed on the ${run} run: ${result}")
    endif()
endforeach()
file(GLOB files RELATIVE ${WORK_DIR}/first ${WORK_DIR}/first/*.png)
list(LENGTH files count)
if(NOT count EQUAL 12)
    message(FATAL_ERROR "expected 11 images and the contact sheet, got ${count} files")
endif()
foreach(name ${files})
    execute_process(COMMAND ${CMAKE_COMMAND} -E compare_files
                    ${WORK_DIR}/first/${name} ${WORK_DIR}/second/${name}
                    RESULT_VARIABLE differs)
    if(differs)
        message(FATAL_ERROR "${name} differs between two runs")
    endif()
endforeach()
message(STATUS "${count} files identical over two runs")
file(REMOVE_RECURSE ${WORK_DIR})

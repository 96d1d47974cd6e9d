# Included by the image checks: reads the headers, import table and resource directory of the
# PE image IMAGE with OBJDUMP into `dump`, or stops the check.
if(NOT EXISTS "${IMAGE}")
    message(FATAL_ERROR "${IMAGE} does not exist")
endif()
execute_process(COMMAND ${OBJDUMP} -f -p "${IMAGE}" OUTPUT_VARIABLE dump RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${OBJDUMP} failed on ${IMAGE}")
endif()

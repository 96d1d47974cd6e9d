# Builds one Windows sub-build a second time, from the same sources reached by another path, into
# another folder and without the compiler cache, then compares every image byte for byte.
# Run with -DSOURCE_DIR= -DBUILD_DIR= (the sub-build to compare with) -DSCRATCH= -DTOOLCHAIN=
# -DPART=
cmake_minimum_required(VERSION 3.25)
foreach(var SOURCE_DIR BUILD_DIR SCRATCH TOOLCHAIN PART)
    if(NOT ${var})
        message(FATAL_ERROR "${var} is not set")
    endif()
endforeach()

file(GLOB_RECURSE images LIST_DIRECTORIES false RELATIVE ${BUILD_DIR}
     ${BUILD_DIR}/*.sys ${BUILD_DIR}/*.exe ${BUILD_DIR}/*.dll)
list(FILTER images EXCLUDE REGEX "(^|/)CMakeFiles/")
# Wine's own programs in the prefixes the wine tests boot in the build tree are not ours.
list(FILTER images EXCLUDE REGEX "(^|/)drive_c/")
if(NOT images)
    message(STATUS "${BUILD_DIR} holds no image yet: nothing to compare")
    return()
endif()

file(REMOVE_RECURSE ${SCRATCH})
file(MAKE_DIRECTORY ${SCRATCH})
# Another path to the same sources: a path that leaks into an image makes the bytes differ.
file(CREATE_LINK ${SOURCE_DIR} ${SCRATCH}/source SYMBOLIC)
set(env ${CMAKE_COMMAND} -E env CCACHE_DISABLE=1 --unset=CMAKE_C_COMPILER_LAUNCHER
        --unset=CMAKE_CXX_COMPILER_LAUNCHER)
execute_process(
    COMMAND ${env} ${CMAKE_COMMAND} -S ${SCRATCH}/source -B ${SCRATCH}/build -G Ninja
            -DCMAKE_TOOLCHAIN_FILE=${SCRATCH}/source/cmake/${TOOLCHAIN} -DCMAKE_BUILD_TYPE=Release
            -DTARNEL_WIN_PART=${PART}
    OUTPUT_QUIET RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
    message(FATAL_ERROR "configuring the second build failed")
endif()
execute_process(COMMAND ${env} ${CMAKE_COMMAND} --build ${SCRATCH}/build OUTPUT_QUIET
                RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
    message(FATAL_ERROR "the second build failed")
endif()

set(differ "")
foreach(image ${images})
    if(NOT EXISTS ${SCRATCH}/build/${image})
        list(APPEND differ "${image} (missing in the second build)")
        continue()
    endif()
    execute_process(COMMAND ${CMAKE_COMMAND} -E compare_files ${BUILD_DIR}/${image}
                            ${SCRATCH}/build/${image} RESULT_VARIABLE rc)
    if(rc EQUAL 0)
        file(SHA256 ${BUILD_DIR}/${image} hash)
        message(STATUS "${image}: identical (sha256 ${hash})")
    else()
        list(APPEND differ ${image})
    endif()
endforeach()
if(differ)
    message(FATAL_ERROR "not reproducible: ${differ} (second build kept in ${SCRATCH})")
endif()
file(REMOVE_RECURSE ${SCRATCH})

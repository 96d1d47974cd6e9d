# The `win` preset: one sub-build per Windows binary, each with its own mingw-w64 toolchain.
include(ExternalProject)

# Further arguments go to the sub-build's configure step.
function(tarnel_win_build name toolchain part)
    ExternalProject_Add(${name}
        SOURCE_DIR ${PROJECT_SOURCE_DIR}
        BINARY_DIR ${CMAKE_BINARY_DIR}/${name}
        CMAKE_GENERATOR Ninja
        CMAKE_ARGS
            -DCMAKE_TOOLCHAIN_FILE=${PROJECT_SOURCE_DIR}/cmake/${toolchain}
            -DCMAKE_BUILD_TYPE=Release
            -DTARNEL_WIN_PART=${part}
            -DCMAKE_EXPORT_COMPILE_COMMANDS=ON
            ${ARGN}
        INSTALL_COMMAND ""
        BUILD_ALWAYS ON
        USES_TERMINAL_BUILD ON)
endfunction()

tarnel_win_build(driver-x64 mingw-x86_64.cmake driver)
tarnel_win_build(tool-x86 mingw-i686.cmake tool)
# The x64 tool's wine tests install the driver package: the image the driver sub-build makes.
tarnel_win_build(tool-x64 mingw-x86_64.cmake tool
    -DTARNEL_DRIVER_IMAGE=${CMAKE_BINARY_DIR}/driver-x64/driver/Tarnel.sys)

# `ctest --preset win` runs each sub-build's own checks (images, resources) where they were built.
# The wine tests of a sub-build run as their own test, labelled wine, skipped where wine is missing.
enable_testing()
foreach(name driver-x64 tool-x86 tool-x64)
    add_test(NAME win.${name}
        COMMAND ${CMAKE_CTEST_COMMAND} --test-dir ${CMAKE_BINARY_DIR}/${name} --output-on-failure
                --no-tests=ignore -LE wine)
    set_tests_properties(win.${name} PROPERTIES LABELS cross)
    add_test(NAME win.${name}.wine
        COMMAND ${CMAKE_CTEST_COMMAND} --test-dir ${CMAKE_BINARY_DIR}/${name} --output-on-failure
                --no-tests=ignore -L wine -V)
    set_tests_properties(win.${name}.wine PROPERTIES LABELS wine
                         SKIP_REGULAR_EXPRESSION "[*][*][*]Skipped")
endforeach()

# Reproducible images: each sub-build made again from another path, without the compiler cache.
foreach(spec "driver-x64|mingw-x86_64.cmake|driver" "tool-x86|mingw-i686.cmake|tool"
             "tool-x64|mingw-x86_64.cmake|tool")
    string(REPLACE "|" ";" spec "${spec}")
    list(GET spec 0 name)
    list(GET spec 1 toolchain)
    list(GET spec 2 part)
    add_test(NAME win.${name}.reproducible
        COMMAND ${CMAKE_COMMAND} -DSOURCE_DIR=${PROJECT_SOURCE_DIR}
                -DBUILD_DIR=${CMAKE_BINARY_DIR}/${name} -DSCRATCH=${CMAKE_BINARY_DIR}/repro/${name}
                -DTOOLCHAIN=${toolchain} -DPART=${part}
                -P ${PROJECT_SOURCE_DIR}/cmake/check_reproducible.cmake)
    set_tests_properties(win.${name}.reproducible PROPERTIES LABELS "cross;slow" TIMEOUT 900)
endforeach()

include(TarnelDist)

# The Windows release: `cmake --build --preset win --target dist` lays out build/win/dist/Tarnel/
# and build/win/dist/Tarnel-windows.zip from the sub-builds (see cmake/dist_layout.cmake).
include(TarnelSigning)

set(TARNEL_DIST_DIR ${CMAKE_BINARY_DIR}/dist)
set(TARNEL_DIST_ZIP ${TARNEL_DIST_DIR}/Tarnel-windows.zip)

set(dist_depends driver-x64 tool-x86 tool-x64)
if(TARGET test_certificate)
    list(APPEND dist_depends test_certificate)
endif()
add_custom_target(dist
    COMMAND ${CMAKE_COMMAND} -DSOURCE_DIR=${PROJECT_SOURCE_DIR} -DBINARY_DIR=${CMAKE_BINARY_DIR}
            -DOUT=${TARNEL_DIST_DIR} -DOSSLSIGNCODE=${TARNEL_OSSLSIGNCODE}
            -DKEY=${TARNEL_SIGNING_KEY} -DPEM=${TARNEL_SIGNING_PEM} -DCER=${TARNEL_SIGNING_CER}
            -DSIGNING_TIME=${TARNEL_SIGNING_TIME}
            -P ${PROJECT_SOURCE_DIR}/cmake/dist_layout.cmake
    DEPENDS ${dist_depends}
    COMMENT "Laying out the Windows release"
    VERBATIM)

# The layout test makes the release first, so it always checks what the tree builds now.
add_test(NAME win.dist_make
    COMMAND ${CMAKE_COMMAND} --build ${CMAKE_BINARY_DIR} --target dist)
add_test(NAME win.dist_layout
    COMMAND ${CMAKE_COMMAND} -DSOURCE_DIR=${PROJECT_SOURCE_DIR} -DBINARY_DIR=${CMAKE_BINARY_DIR}
            -DZIP=${TARNEL_DIST_ZIP} -DSCRATCH=${CMAKE_BINARY_DIR}/dist-check
            -DOSSLSIGNCODE=${TARNEL_OSSLSIGNCODE} -DOPENSSL=${TARNEL_OPENSSL}
            -P ${PROJECT_SOURCE_DIR}/cmake/check_dist.cmake)
set_tests_properties(win.dist_make PROPERTIES LABELS cross FIXTURES_SETUP tarnel_dist)
set_tests_properties(win.dist_layout PROPERTIES LABELS cross FIXTURES_REQUIRED tarnel_dist)

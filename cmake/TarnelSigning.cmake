# Test signing for the win superbuild: one self-signed SHA-256 code-signing certificate per build
# tree, made once by openssl; images are signed by Authenticode with osslsigncode.
# The private key stays in the build tree; only the certificate (.cer, DER) ships.
find_program(TARNEL_OPENSSL openssl)
find_program(TARNEL_OSSLSIGNCODE osslsigncode)

set(TARNEL_SIGNING_DIR ${CMAKE_BINARY_DIR}/signing)
set(TARNEL_SIGNING_KEY ${TARNEL_SIGNING_DIR}/TarnelTestSigning.key)
set(TARNEL_SIGNING_PEM ${TARNEL_SIGNING_DIR}/TarnelTestSigning.pem)
set(TARNEL_SIGNING_CER ${TARNEL_SIGNING_DIR}/TarnelTestSigning.cer)
# The signing time written into every signature: the certificate's birth, so signing again in the
# same tree gives the same bytes.
set(TARNEL_SIGNING_TIME ${TARNEL_SIGNING_DIR}/signing-time.txt)

if(TARNEL_OPENSSL AND TARNEL_OSSLSIGNCODE)
    add_custom_command(
        OUTPUT ${TARNEL_SIGNING_KEY} ${TARNEL_SIGNING_PEM} ${TARNEL_SIGNING_CER}
               ${TARNEL_SIGNING_TIME}
        COMMAND ${CMAKE_COMMAND} -DOPENSSL=${TARNEL_OPENSSL} -DKEY=${TARNEL_SIGNING_KEY}
                -DPEM=${TARNEL_SIGNING_PEM} -DCER=${TARNEL_SIGNING_CER}
                -DTIME_FILE=${TARNEL_SIGNING_TIME}
                -P ${PROJECT_SOURCE_DIR}/cmake/make_test_certificate.cmake
        COMMENT "Making the test-signing certificate"
        VERBATIM)
    add_custom_target(test_certificate DEPENDS ${TARNEL_SIGNING_CER} ${TARNEL_SIGNING_TIME})
else()
    message(STATUS "openssl or osslsigncode missing: dist will not sign (scripts/bootstrap.sh "
                   "installs both)")
endif()

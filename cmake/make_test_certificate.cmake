# Makes the test-signing key and certificate (PEM and DER) and writes the certificate's notBefore,
# in seconds since 1970, as the time every test signature carries.
# Run with -DOPENSSL= -DKEY= -DPEM= -DCER= -DTIME_FILE=
cmake_minimum_required(VERSION 3.25)
function(run)
    execute_process(COMMAND ${ARGN} OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE rc
                    OUTPUT_STRIP_TRAILING_WHITESPACE)
    if(NOT rc EQUAL 0)
        message(FATAL_ERROR "${ARGN} failed:\n${out}${err}")
    endif()
    set(out "${out}" PARENT_SCOPE)
endfunction()

get_filename_component(dir ${KEY} DIRECTORY)
file(MAKE_DIRECTORY ${dir})
run(${OPENSSL} req -x509 -newkey rsa:3072 -sha256 -days 3650 -nodes -keyout ${KEY} -out ${PEM}
    -subj "/O=Morvik/CN=Tarnel Test Signing (not for release)"
    -addext "basicConstraints=critical,CA:FALSE" -addext "keyUsage=critical,digitalSignature"
    -addext "extendedKeyUsage=codeSigning")
run(${OPENSSL} x509 -in ${PEM} -outform DER -out ${CER})
run(${OPENSSL} x509 -in ${PEM} -noout -startdate)
string(REPLACE "notBefore=" "" start "${out}")
run(date -u -d "${start}" +%s)
if(NOT out MATCHES "^[0-9]+$")
    message(FATAL_ERROR "cannot turn '${start}' into seconds")
endif()
file(WRITE ${TIME_FILE} "${out}\n")
message(STATUS "test-signing certificate: ${CER}")

# Lays out the Windows release folder and its zip from the win superbuild's sub-builds:
#   Tarnel/Tarnel_Configuration.exe        32-bit tool (signed)
#   Tarnel/x64/Tarnel_Configuration.exe    64-bit build of the tool (signed)
#   Tarnel/Tarnel.sys                      x64 driver (signed)
#   Tarnel/Tarnel.INF, Tarnel/secure/...   the driver package (secure/ holds its own Tarnel.sys)
#   Tarnel/<catalog>.placeholder.txt       where the signed catalog of each INF goes
#   Tarnel/TarnelTestSigning.cer           the test certificate the images are signed with
#   Tarnel/README-Windows.txt, Tarnel/SHA256SUMS.txt
# Parts that are not built yet are left out and named. Run with -DSOURCE_DIR= -DBINARY_DIR= -DOUT=
# -DOSSLSIGNCODE= -DKEY= -DPEM= -DCER= -DSIGNING_TIME=
cmake_minimum_required(VERSION 3.25)
set(root ${OUT}/Tarnel)
set(zip ${OUT}/Tarnel-windows.zip)
file(REMOVE_RECURSE ${root} ${zip})
file(MAKE_DIRECTORY ${root})

if(NOT OSSLSIGNCODE OR NOT EXISTS "${CER}")
    message(FATAL_ERROR "dist signs every image: install osslsigncode and openssl "
                        "(scripts/bootstrap.sh)")
endif()
file(STRINGS ${SIGNING_TIME} signing_time LIMIT_COUNT 1)

function(sign from to)
    get_filename_component(dir ${to} DIRECTORY)
    file(MAKE_DIRECTORY ${dir})
    execute_process(
        COMMAND ${OSSLSIGNCODE} sign -certs ${PEM} -key ${KEY} -h sha256 -n "Tarnel"
                -time ${signing_time} -in ${from} -out ${to}
        OUTPUT_QUIET RESULT_VARIABLE rc)
    if(NOT rc EQUAL 0)
        message(FATAL_ERROR "osslsigncode could not sign ${from}")
    endif()
endfunction()

# The first Tarnel_Configuration.exe a tool sub-build made, wherever its folder puts it.
function(find_tool subbuild result)
    file(GLOB_RECURSE found LIST_DIRECTORIES false ${BINARY_DIR}/${subbuild}/Tarnel_Configuration.exe)
    list(FILTER found EXCLUDE REGEX "/CMakeFiles/")
    list(SORT found)
    set(${result} "" PARENT_SCOPE)
    if(found)
        list(GET found 0 first)
        set(${result} ${first} PARENT_SCOPE)
    endif()
endfunction()

# The catalog an INF names (CatalogFile, or its architecture variant), else the INF's own name.
function(catalog_of inf fallback result)
    set(name ${fallback})
    if(EXISTS ${inf})
        file(STRINGS ${inf} lines REGEX "^[ \t]*CatalogFile(\\.[A-Za-z0-9]+)?[ \t]*=")
        if(lines)
            list(GET lines 0 line)
            string(REGEX REPLACE "^[^=]*=[ \t]*([^ \t;]+).*$" "\\1" name "${line}")
        endif()
    endif()
    set(${result} ${name} PARENT_SCOPE)
endfunction()

function(placeholder path inf)
    file(WRITE ${path}
"The signed catalog of ${inf} goes here, in place of this file.

A catalog is made on Windows from this folder with Inf2Cat and signed with SignTool; until it
exists, Windows installs this package only in test-signing mode (see README-Windows.txt).
")
endfunction()

set(missing "")
set(driver ${BINARY_DIR}/driver-x64/driver/Tarnel.sys)
if(NOT EXISTS ${driver})
    message(FATAL_ERROR "${driver} is missing: build the win preset first")
endif()
sign(${driver} ${root}/Tarnel.sys)

find_tool(tool-x86 tool32)
if(tool32)
    sign(${tool32} ${root}/Tarnel_Configuration.exe)
else()
    list(APPEND missing "Tarnel_Configuration.exe (the tool-x86 sub-build makes none yet)")
endif()
find_tool(tool-x64 tool64)
if(tool64)
    sign(${tool64} ${root}/x64/Tarnel_Configuration.exe)
else()
    list(APPEND missing "x64/Tarnel_Configuration.exe (the tool-x64 sub-build makes none yet)")
endif()

set(inf ${SOURCE_DIR}/package/Tarnel.INF)
if(EXISTS ${inf})
    file(COPY_FILE ${inf} ${root}/Tarnel.INF)
else()
    list(APPEND missing "Tarnel.INF (package/Tarnel.INF is not in the tree yet)")
endif()
catalog_of(${inf} Tarnel.cat catalog)
placeholder(${root}/${catalog}.placeholder.txt Tarnel.INF)

set(secure_inf ${SOURCE_DIR}/package/secure/OstraTarnel.INF)
if(EXISTS ${secure_inf})
    file(MAKE_DIRECTORY ${root}/secure)
    file(COPY_FILE ${secure_inf} ${root}/secure/OstraTarnel.INF)
    # SetupAPI takes a package's files from the INF's own folder.
    file(COPY_FILE ${root}/Tarnel.sys ${root}/secure/Tarnel.sys)
    catalog_of(${secure_inf} OstraTarnel.cat secure_catalog)
    placeholder(${root}/secure/${secure_catalog}.placeholder.txt OstraTarnel.INF)
else()
    list(APPEND missing "secure/OstraTarnel.INF (package/secure/OstraTarnel.INF is not in the tree yet)")
endif()

file(COPY_FILE ${CER} ${root}/TarnelTestSigning.cer)
# Notepad on older Windows wants CRLF line ends.
file(READ ${SOURCE_DIR}/dist/README-Windows.txt readme)
string(REPLACE "\r\n" "\n" readme "${readme}")
# The README marks each part this release may lack as [NOT BUILT YET: part]: the marks of the parts
# it holds go, the others stay as [NOT BUILT YET].
set(part_tool ${tool32})
set(part_x64-tool ${tool64})
set(part_inf "")
set(part_secure-inf "")
set(part_catalog "")
if(EXISTS ${inf})
    set(part_inf ${inf})
endif()
if(EXISTS ${secure_inf})
    set(part_secure-inf ${secure_inf})
endif()
foreach(part tool x64-tool inf secure-inf catalog)
    if(part_${part})
        string(REGEX REPLACE " *\\[NOT BUILT YET: ${part}\\]" "" readme "${readme}")
    else()
        string(REPLACE "[NOT BUILT YET: ${part}]" "[NOT BUILT YET]" readme "${readme}")
    endif()
endforeach()
if(readme MATCHES "\\[NOT BUILT YET: ")
    message(FATAL_ERROR "dist/README-Windows.txt marks a part dist does not know")
endif()
string(REPLACE "\n" "\r\n" readme "${readme}")
file(WRITE ${root}/README-Windows.txt "${readme}")

file(GLOB_RECURSE files LIST_DIRECTORIES false RELATIVE ${OUT} ${root}/*)
list(SORT files)
set(sums "")
foreach(f ${files})
    file(SHA256 ${OUT}/${f} hash)
    string(REGEX REPLACE "^Tarnel/" "" name "${f}")
    string(APPEND sums "${hash} *${name}\r\n")
endforeach()
file(WRITE ${root}/SHA256SUMS.txt "${sums}")
list(APPEND files Tarnel/SHA256SUMS.txt)
list(SORT files)

# Fixed entry times and a sorted entry list: the same folder gives the same zip.
execute_process(
    COMMAND ${CMAKE_COMMAND} -E tar cf ${zip} --format=zip "--mtime=2020-01-01 00:00:00 GMT" -- ${files}
    WORKING_DIRECTORY ${OUT} RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
    message(FATAL_ERROR "could not write ${zip}")
endif()

foreach(f ${files})
    message(STATUS "  ${f}")
endforeach()
foreach(m ${missing})
    message(STATUS "  not in this release yet: ${m}")
endforeach()
message(STATUS "${zip}")

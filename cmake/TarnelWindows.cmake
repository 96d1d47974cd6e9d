# One mingw-w64 build: TARNEL_WIN_PART selects the driver (x64 kernel image) or the tool.
set(TARNEL_WIN_PART "" CACHE STRING "driver or tool")
# Checks of the images this sub-build makes run here, under the win preset's ctest.
enable_testing()

# Reproducible images: no link time in the PE header, no build or source paths in the code.
add_compile_options("$<$<COMPILE_LANGUAGE:C,CXX>:-ffile-prefix-map=${PROJECT_SOURCE_DIR}/=>"
                    "$<$<COMPILE_LANGUAGE:C,CXX>:-ffile-prefix-map=${PROJECT_BINARY_DIR}/=>")
add_link_options(-Wl,--no-insert-timestamp)

if(TARNEL_WIN_PART STREQUAL "driver")
    if(NOT CMAKE_SYSTEM_PROCESSOR STREQUAL "x86_64")
        message(FATAL_ERROR "The driver is built for x64 only")
    endif()
    # The switch header must compile as kernel C++ with the real DDK headers.
    add_library(tarnel_nt_probe OBJECT tests/cross/nt_probe.cpp)
    target_include_directories(tarnel_nt_probe PRIVATE ${PROJECT_SOURCE_DIR})
    target_include_directories(tarnel_nt_probe PRIVATE ${TARNEL_DDK_INCLUDE_DIR})
    target_compile_options(tarnel_nt_probe PRIVATE -fno-exceptions -fno-rtti)
    add_subdirectory(driver)
    add_test(NAME cross.tarnel_sys_image
        COMMAND ${CMAKE_COMMAND} -DOBJDUMP=${CMAKE_OBJDUMP} -DIMAGE=$<TARGET_FILE:Tarnel>
                -DUNSTRIPPED=$<TARGET_FILE_DIR:Tarnel>/Tarnel-unstripped.sys
                -P ${PROJECT_SOURCE_DIR}/cmake/check_driver_image.cmake)
    set_tests_properties(cross.tarnel_sys_image PROPERTIES LABELS cross)
    # The real image in Wine's kernel emulation: service start and stop, a root-enumerated device.
    add_test(NAME wine.tarnel_sys_service
        COMMAND bash ${PROJECT_SOURCE_DIR}/tests/wine/driver_service.sh $<TARGET_FILE:Tarnel>
                ${CMAKE_OBJDUMP} ${CMAKE_CURRENT_BINARY_DIR}/wine-artefacts/driver)
    set_tests_properties(wine.tarnel_sys_service PROPERTIES LABELS wine SKIP_RETURN_CODE 77
                         TIMEOUT 300)
elseif(TARNEL_WIN_PART STREQUAL "tool")
    add_compile_definitions(UNICODE _UNICODE WIN32_LEAN_AND_MEAN _WIN32_WINNT=0x0601)
    add_library(tarnel_win32_probe OBJECT tests/cross/win32_probe.cpp)
    target_include_directories(tarnel_win32_probe PRIVATE ${PROJECT_SOURCE_DIR})
    if(EXISTS ${PROJECT_SOURCE_DIR}/tool/CMakeLists.txt)
        add_subdirectory(tool)
    endif()
    # Every import of the discovery code resolves when it is linked into a program.
    if(TARGET tarnel_discovery)
        add_executable(tarnel_discovery_link_probe tests/discovery/windows_link_probe.cpp)
        target_link_libraries(tarnel_discovery_link_probe PRIVATE tarnel_discovery)
        target_link_options(tarnel_discovery_link_probe PRIVATE -static)
    endif()
else()
    message(FATAL_ERROR "TARNEL_WIN_PART must be driver or tool")
endif()

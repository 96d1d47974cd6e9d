# tarnel_add_kernel_module(target OUTPUT_NAME name SOURCES ...): a kernel driver image.
# Windows (x64): a native PE importing only the kernel, entry DriverEntry.
# Host: an ELF module "<name>.sys" that the host kernel loads with dlopen; it links the kernel
# personality like an import table, and every symbol must resolve against it.
function(tarnel_add_kernel_module target)
    cmake_parse_arguments(M "" "OUTPUT_NAME" "SOURCES" ${ARGN})
    # Kernel stacks are small (12 KiB on x64 for the whole call chain): no large frames. Sanitizer
    # builds pad every frame with red zones, so the limit holds only where frames are real.
    set(kernel_warnings -Wconversion)
    if(TARNEL_SANITIZER STREQUAL "")
        list(APPEND kernel_warnings -Wframe-larger-than=1024)
    endif()
    if(CMAKE_SYSTEM_NAME STREQUAL "Windows")
        add_executable(${target} ${M_SOURCES})
        target_include_directories(${target} PRIVATE ${PROJECT_SOURCE_DIR} ${TARNEL_DDK_INCLUDE_DIR})
        # min-pagesize=0: the kernel's gs-relative reads (KeGetCurrentThread) are not null pointers.
        # Unwind tables: x64 Windows walks every non-leaf frame through .pdata/.xdata (exception
        # dispatch, bug check stack walks). No exported symbol: the entry point is all a driver shows.
        target_compile_options(${target} PRIVATE ${kernel_warnings} -fno-exceptions -fno-rtti
                               -fno-stack-protector -fasynchronous-unwind-tables
                               -mno-stack-arg-probe --param=min-pagesize=0)
        # Non-executable pool where Windows has it (8 and later), plain non-paged pool on 7.
        target_compile_definitions(${target} PRIVATE POOL_NX_OPTIN=1)
        target_link_options(${target} PRIVATE -shared -nostdlib -Wl,--subsystem,native
                            -Wl,--entry,DriverEntry -Wl,--dynamicbase -Wl,--nxcompat
                            -Wl,--exclude-all-symbols)
        target_link_libraries(${target} PRIVATE ntoskrnl hal)
        # The release image carries no symbol table. The image as linked stays beside it as
        # <name>-unstripped.sys (never shipped): the same sections with the symbols, for the
        # image checks and for reading a stack by hand. A fixed SOURCE_DATE_EPOCH keeps strip
        # from stamping the header with the time.
        add_custom_command(TARGET ${target} POST_BUILD
            COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:${target}>
                    $<TARGET_FILE_DIR:${target}>/${M_OUTPUT_NAME}-unstripped.sys
            COMMAND ${CMAKE_COMMAND} -E env SOURCE_DATE_EPOCH=0
                    ${CMAKE_STRIP} --strip-all $<TARGET_FILE:${target}>
            VERBATIM)
    else()
        add_library(${target} MODULE ${M_SOURCES})
        set_target_properties(${target} PROPERTIES PREFIX "")
        target_include_directories(${target} PRIVATE ${PROJECT_SOURCE_DIR})
        target_compile_options(${target} PRIVATE ${kernel_warnings} -fno-exceptions -fno-rtti)
        target_link_options(${target} PRIVATE ${TARNEL_MODULE_LINK_CHECK})
        target_link_libraries(${target} PRIVATE tarnel_host_kernel)
    endif()
    set_target_properties(${target} PROPERTIES OUTPUT_NAME ${M_OUTPUT_NAME} SUFFIX ".sys")
endfunction()

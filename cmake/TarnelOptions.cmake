# Warnings and sanitizers shared by every target of a host or Windows build.
add_compile_options(-Wall -Wextra -Wshadow)
if(TARNEL_WERROR)
    add_compile_options(-Werror)
endif()
if(CMAKE_BUILD_TYPE STREQUAL "Debug")
    add_compile_options(-g)
endif()

if(TARNEL_SANITIZER STREQUAL "address")
    add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
    add_link_options(-fsanitize=address,undefined)
elseif(TARNEL_SANITIZER STREQUAL "thread")
    add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
    add_link_options(-fsanitize=thread)
elseif(TARNEL_SANITIZER STREQUAL "fuzzer")
    add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer)
    add_link_options(-fsanitize=address,undefined)
elseif(NOT TARNEL_SANITIZER STREQUAL "")
    message(FATAL_ERROR "Unknown TARNEL_SANITIZER '${TARNEL_SANITIZER}'")
endif()

# Driver modules resolve every symbol against the kernel library at link time, as a kernel image
# resolves its imports. clang leaves its sanitizer runtimes to the executable, so the check is
# dropped for clang sanitizer builds.
set(TARNEL_MODULE_LINK_CHECK -Wl,--no-undefined)
if(CMAKE_CXX_COMPILER_ID STREQUAL "Clang" AND NOT TARNEL_SANITIZER STREQUAL "")
    set(TARNEL_MODULE_LINK_CHECK "")
endif()

include(TarnelKernelModule)

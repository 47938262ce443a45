# Warnings and sanitizers for the project's own targets (never for GoogleTest).
function(logger_set_warnings target)
    if(CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang")
        target_compile_options(${target} PRIVATE -Wall -Wextra -Wshadow -Wconversion
                                                 -Wno-sign-conversion)
        if(LOGGER_WERROR)
            target_compile_options(${target} PRIVATE -Werror)
        endif()
        # Any report fails: undefined behaviour stops the program, as address
        # errors and (at exit, through its exit code) data races do.
        if(LOGGER_BUILD_FUZZ)
            set(sanitizers fuzzer-no-link,address,undefined)
        elseif(LOGGER_SANITIZE STREQUAL "thread")
            set(sanitizers thread)
        elseif(LOGGER_SANITIZE)
            set(sanitizers address,undefined)
        endif()
        if(sanitizers)
            target_compile_options(${target} PRIVATE -fsanitize=${sanitizers} -fno-sanitize-recover=undefined
                                                     -fno-omit-frame-pointer)
            target_link_options(${target} PRIVATE -fsanitize=${sanitizers})
        endif()
    endif()
endfunction()

# Warnings and sanitizers for the project's own targets (never for GoogleTest).
function(logger_set_warnings target)
    if(CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang")
        target_compile_options(${target} PRIVATE -Wall -Wextra -Wshadow -Wconversion
                                                 -Wno-sign-conversion)
        if(LOGGER_WERROR)
            target_compile_options(${target} PRIVATE -Werror)
        endif()
        if(LOGGER_SANITIZE)
            target_compile_options(${target} PRIVATE -fsanitize=address,undefined
                                                     -fno-omit-frame-pointer)
            target_link_options(${target} PRIVATE -fsanitize=address,undefined)
        endif()
    endif()
endfunction()

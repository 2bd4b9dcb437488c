# Applies the project's warning set to a target.
function(tessiv_warnings target)
    target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wno-sign-conversion -Wno-missing-field-initializers)
    if(TESSIV_WERROR)
        target_compile_options(${target} PRIVATE -Werror)
    endif()
endfunction()

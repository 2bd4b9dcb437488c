# Applies the project's warning set to a target.
function(tessiv_warnings target)
    target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wno-sign-conversion -Wno-missing-field-initializers)
    if(TESSIV_WERROR)
        target_compile_options(${target} PRIVATE -Werror)
        # GCC 12 at -O3 reports -Wrestrict from inside libstdc++'s own string code (GCC bug 105651); it stays
        # a warning there rather than failing an optimised build.
        if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
            target_compile_options(${target} PRIVATE -Wno-error=restrict)
        endif()
    endif()
endfunction()

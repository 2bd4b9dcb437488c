# A program that installs the crash-dump writer and then crashes the way its first argument names.
add_executable(tessiv-crasher crasher.cpp)
target_link_libraries(tessiv-crasher PRIVATE tessiv_crashdump)
# Frame pointers and debug info, so a debugger's backtrace of its dumps names the crashing functions.
target_compile_options(tessiv-crasher PRIVATE -g -fno-omit-frame-pointer)
set_target_properties(tessiv-crasher PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
tessiv_warnings(tessiv-crasher)

tessiv_add_test(crash_dump_test SOURCES crash_dump_test.cpp minidump_reader.cpp LIBS Threads::Threads)
target_compile_definitions(crash_dump_test PRIVATE TESSIV_CRASHER="$<TARGET_FILE:tessiv-crasher>")
add_dependencies(crash_dump_test tessiv-crasher)

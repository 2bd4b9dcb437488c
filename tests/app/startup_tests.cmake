# The program started twice in one folder: the running monitor comes forward, a hung one is not waited for.
tessiv_add_test(single_instance_test GUI SOURCES single_instance_test.cpp LIBS tessiv_monitor Qt6::Network Qt6::Test)
add_dependencies(single_instance_test tessiv)
target_compile_definitions(single_instance_test PRIVATE TESSIV_EXECUTABLE="$<TARGET_FILE:tessiv>")

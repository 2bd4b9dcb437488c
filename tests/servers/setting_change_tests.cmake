# Setting.ini changed by another program while the window runs, and saved where it is not a regular file.
tessiv_add_test(setting_change_test GUI SOURCES setting_change_test.cpp
    LIBS tessiv_monitor tessiv_servers_ui tessiv_testhost_lib Qt6::Test)

tessiv_add_test(config_file_test SOURCES config_file_test.cpp
    LIBS tessiv_integrations tessiv_integrations_test_support)

# Status queries against real HTTP hosts on 127.0.0.1, and the test host's scenario files.
tessiv_add_test(status_query_test SOURCES status_query_test.cpp
    LIBS tessiv_polling tessiv_testhost_lib PkgConfig::CURL)
tessiv_add_test(query_scenario_file_test SOURCES query_scenario_file_test.cpp LIBS tessiv_testhost_lib)

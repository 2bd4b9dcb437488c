# What may hold up the end: a webhook whose name lookup hangs, a scrape client that never reads.
tessiv_add_test(exit_bound_test SOURCES exit_bound_test.cpp
    LIBS tessiv_integrations tessiv_integrations_test_support)

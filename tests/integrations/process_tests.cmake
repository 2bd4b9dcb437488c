# Hook processes: nothing they start outlives them, and they inherit no descriptor of ours.
tessiv_add_test(hook_process_test SOURCES hook_process_test.cpp
    LIBS tessiv_integrations tessiv_integrations_test_support)
# What may hold up the end: a webhook whose name lookup hangs, a scrape client that never reads.
tessiv_add_test(exit_bound_test SOURCES exit_bound_test.cpp
    LIBS tessiv_integrations tessiv_integrations_test_support)

# The add-server input rules, and the two server dialogs driven through their widgets.
tessiv_add_test(dialog_input_test SOURCES dialog_input_test.cpp LIBS tessiv_servers)
tessiv_add_test(dialogs_test GUI SOURCES dialogs_test.cpp LIBS tessiv_servers_ui Qt6::Test)

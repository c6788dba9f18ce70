# The window read through the desktop's accessibility bus (AT-SPI) under Xvfb, from outside the
# process. Skipped (77) where Xvfb, D-Bus or the AT-SPI bindings are missing.
add_test(NAME atspi_window
         COMMAND ${CMAKE_CURRENT_LIST_DIR}/atspi/run.sh $<TARGET_FILE:vantor-listener> $<TARGET_FILE:vantor-gpi-sim>)
set_tests_properties(atspi_window PROPERTIES SKIP_RETURN_CODE 77 LABELS atspi TIMEOUT 120)

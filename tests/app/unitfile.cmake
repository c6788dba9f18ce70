# The systemd user unit, as systemd reads it: with the built program in place of the installed
# one, every key known and every value taken. Skipped where systemd-analyze is missing.
add_test(NAME tst_unitfile
  COMMAND ${CMAKE_CURRENT_LIST_DIR}/verify-unit.sh ${PROJECT_SOURCE_DIR}/packaging/systemd/vantor-listener.service
          $<TARGET_FILE:vantor-listener>)
set_tests_properties(tst_unitfile PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 60)

# The unit's restart rule against the program's exit status for the close button.
target_compile_definitions(tst_servicenotices PRIVATE UNIT_FILE="${PROJECT_SOURCE_DIR}/packaging/systemd/vantor-listener.service")

# The facility's files the package ships (packaging/monitoring): the metric names of the Grafana
# dashboard and of the alert rules (tst_dashboard), and the rules checked and run against their
# own test (alerts.test.yml) by promtool, from Debian's prometheus, where it is installed.
set(MONITORING_DIR ${PROJECT_SOURCE_DIR}/packaging/monitoring)
target_compile_definitions(tst_dashboard PRIVATE DASHBOARD="${MONITORING_DIR}/vantor-listener-dashboard.json"
                                                 ALERT_RULES="${MONITORING_DIR}/vantor-listener.rules.yml")
find_program(PROMTOOL promtool)
if(PROMTOOL)
  add_test(NAME alert_rules_check COMMAND ${PROMTOOL} check rules ${MONITORING_DIR}/vantor-listener.rules.yml)
  add_test(NAME alert_rules_fire COMMAND ${PROMTOOL} test rules ${CMAKE_CURRENT_LIST_DIR}/alerts.test.yml)
  set_tests_properties(alert_rules_check alert_rules_fire PROPERTIES TIMEOUT 60)
endif()

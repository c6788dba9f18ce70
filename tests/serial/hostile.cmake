# The hostile-peer test runs the misbehaving servers and the station of bench/hostile_serial.
target_link_libraries(tst_rfc2217hostile PRIVATE vantor_hostilestation)
set_tests_properties(tst_rfc2217hostile PROPERTIES TIMEOUT 60)

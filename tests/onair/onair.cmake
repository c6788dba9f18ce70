# The on-air tests use the library itself, the fake server's OSC (tools/amcp-monitor) and, for
# the tally on a network port, the contact simulator's server.
include(${CMAKE_SOURCE_DIR}/src/onair/oscpack.cmake)
target_link_libraries(tst_onairrule PRIVATE vantor_onair vantor_amcpmonitor)
target_link_libraries(tst_oscreceiver PRIVATE vantor_onair vantor_amcpmonitor vantor_oscpack)
target_link_libraries(tst_tally PRIVATE vantor_onair vantor_contactserver)

# The tally on the real 8250 UART inside uart-vm (skipped, 77, where the tool is missing or
# not prepared): the tty backend, the library and Qt Core, Network, Serial Port and Test.
add_executable(tally_vm ${CMAKE_CURRENT_LIST_DIR}/vm/tally_vm.cpp ${CMAKE_CURRENT_SOURCE_DIR}/serial/vm/loopbackport.cpp)
target_include_directories(tally_vm PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/serial/vm ${CMAKE_CURRENT_SOURCE_DIR}/support)
target_link_libraries(tally_vm PRIVATE vantor_onair vantor_serial_tty Qt6::Test)
add_test(NAME tally_vm
         COMMAND sh ${CMAKE_CURRENT_SOURCE_DIR}/serial/vm/in-uart-vm.sh
                 ${CMAKE_SOURCE_DIR}/../shared/tools/uart-vm/uart-vm 120 $<TARGET_FILE:tally_vm>)
set_tests_properties(tally_vm PROPERTIES SKIP_RETURN_CODE 77 LABELS vm TIMEOUT 180 RUN_SERIAL TRUE)

# The on-air tests use the library itself, the fake server's OSC (tools/amcp-monitor) and, for
# the tally on a network port, the contact simulator's server.
include(${CMAKE_SOURCE_DIR}/src/onair/oscpack.cmake)
target_link_libraries(tst_onairrule PRIVATE vantor_onair vantor_amcpmonitor)
target_link_libraries(tst_oscreceiver PRIVATE vantor_onair vantor_amcpmonitor vantor_oscpack)
target_link_libraries(tst_tally PRIVATE vantor_onair vantor_contactserver)

# The network-port tests serve the contact simulator's server (and, through the window, the
# playout-server monitor) in-process.
target_link_libraries(tst_rfc2217backend PRIVATE vantor_contactserver)
target_link_libraries(tst_rfc2217window PRIVATE vantor_contactserver vantor_amcpmonitor)

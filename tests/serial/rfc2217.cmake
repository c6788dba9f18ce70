# The network-port tests serve the contact simulator's server in-process.
target_link_libraries(tst_rfc2217backend PRIVATE vantor_contactserver)

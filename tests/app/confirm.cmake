# The on-air confirmation through the window uses the fake server's command answers and OSC
# (tools/amcp-monitor).
target_link_libraries(tst_onairconfirmation PRIVATE vantor_amcpmonitor)

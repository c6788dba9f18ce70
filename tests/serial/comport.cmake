# The COM port's logic is built on Linux for its tests only: link it to them.
target_link_libraries(tst_combackend PRIVATE vantor_serial_comport)

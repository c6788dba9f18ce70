# The COM port: its logic against the fake of the Win32 calls (the Linux build runs the same
# test), and its real calls on COM7, mapped to a pseudo-terminal that comport-peer.py makes and
# answers on (python3 runs it, as the Linux tests' helpers).
vantor_add_wine_test(tst_combackend SOURCES ${CMAKE_SOURCE_DIR}/tests/serial/tst_combackend.cpp LIBS vantor_serial_comport)
vantor_add_wine_test(tst_wincomport SOURCES tst_wincomport.cpp LIBS vantor_serial_comport)
foreach(test tst_combackend tst_wincomport)
  target_include_directories(${test} PRIVATE ${CMAKE_SOURCE_DIR}/tests/support)
endforeach()
find_package(Python3 REQUIRED COMPONENTS Interpreter)
set_target_properties(tst_wincomport PROPERTIES CROSSCOMPILING_EMULATOR
  "${Python3_EXECUTABLE};${CMAKE_CURRENT_SOURCE_DIR}/comport-peer.py;7;${CMAKE_CROSSCOMPILING_EMULATOR};--qtest")

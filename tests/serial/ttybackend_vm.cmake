# The local tty backend (Qt's serial port plus the line watcher) against the real 8250 driver,
# inside the uart-vm virtual machine beside the project. Only the backend and the probe, with Qt
# Core, Network, Serial Port and Test, so that the guest gets few libraries. Skipped (77) where
# the tool is missing or not prepared.
add_executable(ttybackend_vm
  ${CMAKE_CURRENT_LIST_DIR}/vm/ttybackend_vm.cpp
  ${CMAKE_CURRENT_LIST_DIR}/vm/loopbackport.cpp)
target_include_directories(ttybackend_vm PRIVATE ${CMAKE_CURRENT_LIST_DIR}/vm ${CMAKE_CURRENT_SOURCE_DIR}/support)
target_link_libraries(ttybackend_vm PRIVATE vantor_serial_tty vantor_serial_system Qt6::Test)

add_test(NAME ttybackend_vm
         COMMAND sh ${CMAKE_CURRENT_LIST_DIR}/vm/in-uart-vm.sh
                 ${CMAKE_SOURCE_DIR}/../shared/tools/uart-vm/uart-vm 120 $<TARGET_FILE:ttybackend_vm>)
set_tests_properties(ttybackend_vm PROPERTIES SKIP_RETURN_CODE 77 LABELS vm TIMEOUT 180 RUN_SERIAL TRUE)

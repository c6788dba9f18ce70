# The modem-line watcher against the real 8250 driver, inside the uart-vm virtual machine that
# lives beside the project (../shared/tools/uart-vm). Static and without Qt, so the guest needs
# nothing but the one program. Skipped (77) where the tool is missing or not prepared.
set(UART_VM_TOOL ${CMAKE_SOURCE_DIR}/../shared/tools/uart-vm/uart-vm)
set(UART_VM_WRAPPER ${CMAKE_CURRENT_LIST_DIR}/vm/in-uart-vm.sh)

add_executable(linewatcher_vm
  ${CMAKE_CURRENT_LIST_DIR}/vm/linewatcher_vm.cpp
  ${CMAKE_CURRENT_LIST_DIR}/vm/loopbackport.cpp
  ${CMAKE_CURRENT_LIST_DIR}/vm/loopbackport.h
  ${CMAKE_CURRENT_LIST_DIR}/vm/recorder.cpp
  ${CMAKE_CURRENT_LIST_DIR}/vm/recorder.h
  ${CMAKE_CURRENT_LIST_DIR}/vm/guest.h)
target_include_directories(linewatcher_vm PRIVATE ${CMAKE_CURRENT_LIST_DIR}/vm ${CMAKE_CURRENT_LIST_DIR}/../support)
target_link_libraries(linewatcher_vm PRIVATE vantor_linewatcher vantor_realtime)
target_link_options(linewatcher_vm PRIVATE -static)
set_target_properties(linewatcher_vm PROPERTIES AUTOMOC OFF)

add_test(NAME linewatcher_vm
         COMMAND sh ${UART_VM_WRAPPER} ${UART_VM_TOOL} 120 $<TARGET_FILE:linewatcher_vm>)
# Alone, so that its timing checks do not share the processors with other tests.
set_tests_properties(linewatcher_vm PROPERTIES SKIP_RETURN_CODE 77 LABELS vm TIMEOUT 180 RUN_SERIAL TRUE)

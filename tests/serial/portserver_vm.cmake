# The network serial server and a client of ours, both inside the uart-vm virtual machine, on
# the real 8250 driver in loopback. Static and without Qt. Skipped (77) where the tool is missing
# or not prepared. One boot for the whole run.
add_executable(portserver_vm
  ${CMAKE_CURRENT_LIST_DIR}/vm/portserver_vm.cpp
  ${CMAKE_CURRENT_LIST_DIR}/vm/loopbackport.cpp
  ${CMAKE_CURRENT_LIST_DIR}/vm/recorder.cpp)
target_include_directories(portserver_vm PRIVATE ${CMAKE_CURRENT_LIST_DIR}/vm)
target_link_libraries(portserver_vm PRIVATE vantor_portserver)
target_link_options(portserver_vm PRIVATE -static)
set_target_properties(portserver_vm PROPERTIES AUTOMOC OFF)

add_test(NAME portserver_vm
         COMMAND sh ${CMAKE_CURRENT_LIST_DIR}/vm/in-uart-vm.sh ${CMAKE_SOURCE_DIR}/../shared/tools/uart-vm/uart-vm 150
                 $<TARGET_FILE:portserver_vm>)
set_tests_properties(portserver_vm PROPERTIES SKIP_RETURN_CODE 77 LABELS vm TIMEOUT 200 RUN_SERIAL TRUE)

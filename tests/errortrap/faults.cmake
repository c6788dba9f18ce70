# The fault tests run their faults in child processes of their own.
find_package(Threads REQUIRED)
enable_language(C)
# A shared C library that holds a lock while it works, as the system's libraries do.
add_library(lockinglibrary SHARED ${CMAKE_CURRENT_LIST_DIR}/lockinglibrary.c)
target_link_libraries(lockinglibrary PRIVATE Threads::Threads)
set_target_properties(lockinglibrary PROPERTIES AUTOMOC OFF)

add_executable(faultchild
  ${CMAKE_CURRENT_LIST_DIR}/faultchild.cpp
  ${CMAKE_CURRENT_LIST_DIR}/foreigncode.cpp)
set_source_files_properties(${CMAKE_CURRENT_LIST_DIR}/foreigncode.cpp
  PROPERTIES COMPILE_OPTIONS "-fno-non-call-exceptions")
target_include_directories(faultchild PRIVATE ${CMAKE_SOURCE_DIR}/tests/support)
target_link_libraries(faultchild PRIVATE vantor_errortrap vantor_trapped lockinglibrary Qt6::Widgets Threads::Threads)

add_executable(closechild ${CMAKE_CURRENT_LIST_DIR}/closechild.cpp)
target_link_libraries(closechild PRIVATE vantor_app vantor_trapped)

foreach(test IN ITEMS tst_faultdelivery tst_terminationsignals)
  add_dependencies(${test} faultchild closechild)
  target_compile_definitions(${test} PRIVATE
    FAULT_CHILD="$<TARGET_FILE:faultchild>" CLOSE_CHILD="$<TARGET_FILE:closechild>")
endforeach()

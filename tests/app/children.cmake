# Tests of whole programs: the restore file under SIGKILL, and the listener's command line.
add_executable(setupchild ${CMAKE_CURRENT_LIST_DIR}/setupchild.cpp ${CMAKE_CURRENT_LIST_DIR}/setupgenerations.h)
target_link_libraries(setupchild PRIVATE vantor_testsupport vantor_app vantor_trapped Qt6::Test)

add_dependencies(tst_setupkill setupchild)
target_compile_definitions(tst_setupkill PRIVATE SETUP_CHILD="$<TARGET_FILE:setupchild>")

add_dependencies(tst_commandline vantor-listener)
target_compile_definitions(tst_commandline PRIVATE LISTENER="$<TARGET_FILE:vantor-listener>")

add_dependencies(tst_servicestart vantor-listener)
target_compile_definitions(tst_servicestart PRIVATE LISTENER="$<TARGET_FILE:vantor-listener>")

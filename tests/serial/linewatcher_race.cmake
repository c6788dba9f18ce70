# The line watcher's stop() against its sentry, built with ThreadSanitizer: the watcher library's
# own sources compiled into the test, so that the race checker sees every access.
get_target_property(watcher_sources vantor_linewatcher SOURCES)
get_target_property(watcher_dir vantor_linewatcher SOURCE_DIR)
list(TRANSFORM watcher_sources PREPEND ${watcher_dir}/)
add_executable(linewatcher_race ${CMAKE_CURRENT_LIST_DIR}/linewatcher_race.cpp ${watcher_sources})
target_include_directories(linewatcher_race PRIVATE ${CMAKE_SOURCE_DIR}/src)
target_compile_options(linewatcher_race PRIVATE -fsanitize=thread)
target_link_options(linewatcher_race PRIVATE -fsanitize=thread)
target_link_libraries(linewatcher_race PRIVATE Threads::Threads)
set_target_properties(linewatcher_race PROPERTIES AUTOMOC OFF)
add_test(NAME linewatcher_race COMMAND linewatcher_race)
set_tests_properties(linewatcher_race PROPERTIES ENVIRONMENT "TSAN_OPTIONS=halt_on_error=1" TIMEOUT 60)

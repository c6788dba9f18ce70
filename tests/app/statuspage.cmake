# The status page in a real browser (tst_statuspage): where scripts/test.sh installs axe-core,
# the accessibility rules it checks the page with (the version is pinned there).
set(VANTOR_AXE_JS ${CMAKE_BINARY_DIR}/axe/node_modules/axe-core/axe.min.js
    CACHE FILEPATH "axe-core's axe.min.js for the status page's accessibility check")
target_compile_definitions(tst_statuspage PRIVATE AXE_JS="${VANTOR_AXE_JS}")
set_tests_properties(tst_statuspage PROPERTIES TIMEOUT 300)

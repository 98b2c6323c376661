# Tests of the Windows build (included from tests/CMakeLists.txt when
# cross-building); they run on the build machine or under wine.

add_test(NAME win.pe_tables COMMAND sh ${CMAKE_CURRENT_SOURCE_DIR}/windows/pe_tables.sh
         $<TARGET_FILE:twsmb3s_cli> $<TARGET_FILE:twsmb3s> ${PROJECT_VERSION})

# The resource's version is the one the program reports.
add_test(NAME win.version COMMAND twsmb3s_cli version)
set_tests_properties(win.version PROPERTIES PASS_REGULAR_EXPRESSION "twsmb3s ${PROJECT_VERSION}")

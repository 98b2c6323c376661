# Tests of the Windows build (included from tests/CMakeLists.txt when
# cross-building); they run on the build machine or under wine.

add_test(NAME win.pe_tables COMMAND sh ${CMAKE_CURRENT_SOURCE_DIR}/windows/pe_tables.sh
         $<TARGET_FILE:twsmb3s_cli> $<TARGET_FILE:twsmb3s>)

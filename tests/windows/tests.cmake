# Tests of the Windows build (included from tests/CMakeLists.txt when
# cross-building); they run on the build machine or under wine.

add_test(NAME win.pe_tables COMMAND sh ${CMAKE_CURRENT_SOURCE_DIR}/windows/pe_tables.sh
         $<TARGET_FILE:twsmb3s_cli> $<TARGET_FILE:twsmb3s> ${PROJECT_VERSION})

# The resource's version is the one the program reports.
add_test(NAME win.version COMMAND twsmb3s_cli version)
set_tests_properties(win.version PROPERTIES PASS_REGULAR_EXPRESSION "twsmb3s ${PROJECT_VERSION}")

# What follows drives the Windows build with real clients under wine (the
# wine prefix and server of scripts/wine-ctest), through the Python tests of
# tests/clients and the scripts beside this file.
if(TW3_WINE)
  set(TW3_WIN_PY_ENV "TWSMB3S_BIN=$<TARGET_FILE:twsmb3s_cli>" "TWSMB3S_WINE=${TW3_WINE}"
      "PYTHONPATH=${CMAKE_CURRENT_SOURCE_DIR}/clients")

  # Real-client tests once more, against twsmb3s.exe serve: the file tests
  # (smbclient on each dialect and signing algorithm as a user and a guest:
  # share list, listings of 2,100 entries, non-ASCII names, a read checked by
  # its digest, refused writes; impacket and rclone) and the change
  # notifications (ReadDirectoryChangesW behind CHANGE_NOTIFY).
  foreach(t test_files test_notify)
    add_test(NAME win.clients.${t} COMMAND /usr/bin/python3 ${CMAKE_CURRENT_SOURCE_DIR}/clients/${t}.py)
    set_tests_properties(win.clients.${t} PROPERTIES TIMEOUT 600 LABELS clients ENVIRONMENT "${TW3_WIN_PY_ENV}")
  endforeach()

  # A C host program built against twsmb3s.h and the import library.
  add_executable(tw3_host windows/host.c)
  target_include_directories(tw3_host PRIVATE ${CMAKE_SOURCE_DIR}/include)
  target_link_libraries(tw3_host PRIVATE twsmb3s)
  add_test(NAME win.host_program COMMAND /usr/bin/python3 ${CMAKE_CURRENT_SOURCE_DIR}/windows/test_host.py)
  set_tests_properties(win.host_program PROPERTIES TIMEOUT 300 LABELS clients
    ENVIRONMENT "${TW3_WIN_PY_ENV};TW3_HOST_EXE=$<TARGET_FILE:tw3_host>")

  # The simulator's transcripts of one script, Linux build and Windows build
  # (TW3_LINUX_TWSMB3S names the Linux twsmb3s; make test-windows sets it).
  add_test(NAME win.sim_same_transcript COMMAND /usr/bin/python3 ${CMAKE_CURRENT_SOURCE_DIR}/windows/test_sim_same.py)
  set_tests_properties(win.sim_same_transcript PROPERTIES TIMEOUT 300 ENVIRONMENT "${TW3_WIN_PY_ENV}")
endif()

# The fuzz targets, read from targets.inc (the one list), and the replayer
# that runs every target's seeds and crash inputs through its entry point.
set(TW3_FUZZ_DIR ${CMAKE_CURRENT_LIST_DIR})
file(STRINGS ${TW3_FUZZ_DIR}/targets.inc _tw3_fuzz_lines REGEX "^TW3_FUZZ_TARGET\\(")
set(TW3_FUZZ_TARGETS "")
set(TW3_FUZZ_REPLAY_ARGS "")
foreach(_line ${_tw3_fuzz_lines})
  string(REGEX REPLACE "^TW3_FUZZ_TARGET\\(([a-z0-9_]+)\\).*" "\\1" _t "${_line}")
  list(APPEND TW3_FUZZ_TARGETS ${_t})
  list(APPEND TW3_FUZZ_REPLAY_ARGS ${_t}=${TW3_FUZZ_DIR}/${_t}/corpus ${_t}=${TW3_FUZZ_DIR}/${_t}/crashes)
endforeach()

# fuzz_replay: every target in one binary over the given core library.
function(tw3_add_fuzz_replay core)
  set(_src ${TW3_FUZZ_DIR}/replay_main.cpp)
  foreach(_t ${TW3_FUZZ_TARGETS})
    list(APPEND _src ${TW3_FUZZ_DIR}/${_t}_fuzz.cpp)
  endforeach()
  add_executable(fuzz_replay ${_src})
  target_compile_definitions(fuzz_replay PRIVATE TW3_FUZZ_REPLAY=1)
  target_include_directories(fuzz_replay PRIVATE ${CMAKE_SOURCE_DIR}/tests ${CMAKE_SOURCE_DIR}/src
                             ${CMAKE_SOURCE_DIR}/include)
  target_link_libraries(fuzz_replay PRIVATE ${core} Threads::Threads)
endfunction()

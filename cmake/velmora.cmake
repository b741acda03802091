# velmora_test(<name> SOURCES <files...> LIBS <libs...> [LABELS <labels...>] [SERIAL] [TIMEOUT <s>])
# Builds a GoogleTest executable into build/tests and registers every case with CTest.
function(velmora_test name)
  if(NOT VELMORA_TESTS)
    return()
  endif()
  cmake_parse_arguments(T "SERIAL" "TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} velmora_testsupport GTest::gtest GTest::gtest_main)
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${VELMORA_TEST_BIN})
  target_compile_definitions(${name} PRIVATE
    VELMORA_BIN_DIR="${CMAKE_BINARY_DIR}/bin"
    VELMORA_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
  # Traces of the code under test go nowhere unless a test points them somewhere
  # itself: running the suite must leave no TOVA.LOG in the home directory.
  set(props ENVIRONMENT "TOVATRC_FILENAME=/dev/null")
  if(T_LABELS)
    list(APPEND props LABELS "${T_LABELS}")
  endif()
  if(T_SERIAL)
    list(APPEND props RUN_SERIAL TRUE)
  endif()
  if(T_TIMEOUT)
    list(APPEND props TIMEOUT ${T_TIMEOUT})
  endif()
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES ${props})
endfunction()

# velmora_fuzzer(<name> SOURCES <files...> LIBS <libs...>)
# Sources sit in <component>/fuzz/ and see the component's own headers.
# With VELMORA_FUZZ, a libFuzzer executable in build/fuzz. In the test build the
# same sources become <name>_replay, a CTest case that replays the target's
# stored seeds from <component>/fuzz/seeds/<name>/ plus a fixed series of
# derived inputs (exit 77, a skip, when the target cannot run as this user).
function(velmora_fuzzer name)
  cmake_parse_arguments(F "" "" "SOURCES;LIBS" ${ARGN})
  if(VELMORA_FUZZ)
    add_executable(${name} ${F_SOURCES} ${CMAKE_SOURCE_DIR}/testsupport/fuzz_quiet.cpp)
    target_link_libraries(${name} PRIVATE ${F_LIBS})
    target_include_directories(${name} PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
    target_link_options(${name} PRIVATE -fsanitize=fuzzer)
    set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/fuzz)
  elseif(VELMORA_TESTS)
    add_executable(${name}_replay ${F_SOURCES})
    target_include_directories(${name}_replay PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
    target_link_libraries(${name}_replay PRIVATE ${F_LIBS} velmora_fuzz_replay)
    set_target_properties(${name}_replay PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${VELMORA_TEST_BIN})
    add_test(NAME ${name}_replay
             COMMAND ${name}_replay ${CMAKE_CURRENT_SOURCE_DIR}/fuzz/seeds/${name})
    set_tests_properties(${name}_replay PROPERTIES
      ENVIRONMENT "TOVATRC_FILENAME=/dev/null" SKIP_RETURN_CODE 77 LABELS fuzz)
  endif()
endfunction()

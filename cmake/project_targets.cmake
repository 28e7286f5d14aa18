# Helpers that give every subsystem the same shape:
#   src/<lib>/*.cpp          -> static library <lib>
#   tests/<lib>/*_test.cpp   -> <lib>_tests (one process per test case)
#   tests/<lib>/*_concurrency_test.cpp -> <lib>_concurrency_tests, label "concurrency"
#   tests/fuzz/fuzz_<name>.cpp -> fuzz_<name>, label "fuzz"

# project_library(<name> [DEPS <targets>...])
# Builds src/<name>/*.cpp into a static library; includes are relative to src/.
function(project_library name)
  cmake_parse_arguments(ARG "" "" "DEPS" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  add_library(${name} STATIC ${sources})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR}/src)
  target_link_libraries(${name} PUBLIC ${ARG_DEPS} Threads::Threads)
endfunction()

# project_library_tests(<lib> [DEPS <targets>...])
# Called once per library from tests/<lib>/CMakeLists.txt.
function(project_library_tests lib)
  if(FUZZ)
    return()
  endif()
  cmake_parse_arguments(ARG "" "" "DEPS" ${ARGN})
  file(GLOB all_tests CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*_test.cpp)
  file(GLOB concurrency_tests CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*_concurrency_test.cpp)
  set(plain_tests ${all_tests})
  if(concurrency_tests)
    list(REMOVE_ITEM plain_tests ${concurrency_tests})
  endif()
  if(plain_tests)
    add_executable(${lib}_tests ${plain_tests})
    target_link_libraries(${lib}_tests PRIVATE ${lib} ${ARG_DEPS} test_support GTest::gtest_main GTest::gmock)
    # DISCOVERY_TIMEOUT: delta_tests builds its oracle cases while listing,
    # which takes over the default 5 s on a loaded machine.
    gtest_discover_tests(${lib}_tests DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60
      WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}
      PROPERTIES ENVIRONMENT "TEST_SOURCE_DIR=${CMAKE_CURRENT_SOURCE_DIR}")
  endif()
  if(concurrency_tests)
    add_executable(${lib}_concurrency_tests ${concurrency_tests})
    target_link_libraries(${lib}_concurrency_tests PRIVATE ${lib} ${ARG_DEPS} test_support GTest::gtest_main GTest::gmock)
    gtest_discover_tests(${lib}_concurrency_tests DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60
      WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}
      PROPERTIES LABELS concurrency ENVIRONMENT "TEST_SOURCE_DIR=${CMAKE_CURRENT_SOURCE_DIR}")
    add_dependencies(concurrency_tests ${lib}_concurrency_tests)
  endif()
endfunction()

# project_fuzz_target(<name> LIBS <targets>... [FLAGS <libFuzzer flags>...])
# Builds tests/fuzz/fuzz_<name>.cpp. The test runs for FUZZ_SECONDS with a
# writable corpus under the build tree first and the committed seeds second,
# so libFuzzer never writes into the source tree.
function(project_fuzz_target name)
  if(NOT FUZZ)
    return()
  endif()
  cmake_parse_arguments(ARG "" "" "LIBS;FLAGS" ${ARGN})
  set(target fuzz_${name})
  if(TARGET ${target})  # listed twice after a line-by-line merge
    return()
  endif()
  add_executable(${target} ${CMAKE_CURRENT_SOURCE_DIR}/fuzz_${name}.cpp)
  target_link_libraries(${target} PRIVATE ${ARG_LIBS})
  target_link_options(${target} PRIVATE -fsanitize=fuzzer,address,undefined)
  add_dependencies(fuzz_targets ${target})
  set(work ${CMAKE_BINARY_DIR}/fuzz/${name})
  file(MAKE_DIRECTORY ${work}/corpus ${work}/artifacts)
  add_test(NAME ${target}
    COMMAND ${target} -max_total_time=${FUZZ_SECONDS} -artifact_prefix=${work}/artifacts/ ${ARG_FLAGS}
            ${work}/corpus ${CMAKE_CURRENT_SOURCE_DIR}/corpus/${name})
  set_tests_properties(${target} PROPERTIES LABELS fuzz)
endfunction()

# orvant_add_test(NAME [LONG] SOURCES a.cpp b.cpp LIBS lib1 lib2 [ENV VAR=value ...])
# One GoogleTest executable registered as one CTest test, labelled for
# `ctest -L quick` (the daily loop, scripts/check.sh) or, with LONG, `-L long`.
function(orvant_add_test name)
  cmake_parse_arguments(T "LONG" "" "SOURCES;LIBS;ENV" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main GTest::gmock Threads::Threads)
  target_compile_definitions(${name} PRIVATE
    ORVANT_SOURCE_DIR="${CMAKE_SOURCE_DIR}" ORVANT_BINARY_DIR="${CMAKE_BINARY_DIR}")
  add_test(NAME ${name} COMMAND ${name})
  set(env "QT_QPA_PLATFORM=offscreen" ${T_ENV})
  if(ORVANT_SANITIZE)
    list(APPEND env "ASAN_OPTIONS=detect_leaks=1:abort_on_error=0" "UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1"
         "LSAN_OPTIONS=suppressions=${CMAKE_SOURCE_DIR}/tests/lsan.supp")
  endif()
  if(ORVANT_TSAN)
    list(APPEND env "TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1:suppressions=${CMAKE_SOURCE_DIR}/tests/tsan.supp")
  endif()
  set_tests_properties(${name} PROPERTIES ENVIRONMENT "${env}" TIMEOUT 600)
  if(T_LONG)
    orvant_test_label(${name} LONG)
  else()
    orvant_test_label(${name})
  endif()
endfunction()

# orvant_test_label(NAME [LONG]): the label of a test registered with a plain
# add_test: `quick`, or `long` for one that takes minutes (a whole session
# driven on an X server, a kit built from scratch, a browser).
# scripts/check.sh names a test that has neither (and runs it with the quick ones).
function(orvant_test_label name)
  cmake_parse_arguments(L "LONG" "" "" ${ARGN})
  if(L_LONG)
    set_property(TEST ${name} APPEND PROPERTY LABELS long)
  else()
    set_property(TEST ${name} APPEND PROPERTY LABELS quick)
  endif()
endfunction()

# The native checks (tests/native): programs that exit non-zero on the first failure, built from
# the same core library as the module and run by CTest, each on the dispatched move generator
# and again with the portable one forced (VELTRIX_PORTABLE=1). A release build runs the longer
# cross-checks; a sanitized build runs shorter ones, and the game pool once more under the
# thread sanitizer, against a core library of its own.
enable_testing()

function(veltrix_add_check name core)
  add_executable(${name} ${ARGN})
  target_include_directories(${name} PRIVATE bench/native)
  target_link_libraries(${name} PRIVATE ${core})
endfunction()

# Registers `test` running `target` with the arguments that follow, on both move generators.
function(veltrix_check_test test target)
  add_test(NAME ${test} COMMAND ${target} ${ARGN})
  add_test(NAME ${test}_portable COMMAND ${target} ${ARGN})
  set_tests_properties(${test}_portable PROPERTIES ENVIRONMENT "VELTRIX_PORTABLE=1")
endfunction()

foreach(check endgame_check arena_core_test pool_test movegen_check search_check)
  veltrix_add_check(${check} veltrix_core tests/native/${check}.cpp)
endforeach()

veltrix_check_test(arena_core arena_core_test)
veltrix_check_test(pool pool_test)
if(VELTRIX_SANITIZE)
  veltrix_check_test(endgame_small endgame_check 400 1 10 1001)
  veltrix_check_test(movegen movegen_check 2000)
  veltrix_check_test(search search_check 300 5)

  veltrix_add_core(veltrix_core_tsan)
  target_compile_options(veltrix_core_tsan PUBLIC -O1 -g)
  veltrix_sanitize(veltrix_core_tsan thread)
  veltrix_add_check(pool_test_tsan veltrix_core_tsan tests/native/pool_test.cpp)
  veltrix_check_test(pool_tsan pool_test_tsan)
  set_property(TEST pool_tsan pool_tsan_portable APPEND PROPERTY ENVIRONMENT "TSAN_OPTIONS=halt_on_error=1")
else()
  veltrix_check_test(endgame_near_end endgame_check 1500 8 11 1008)
  veltrix_check_test(endgame_deeper endgame_check 25 12 14 1012)
  veltrix_check_test(movegen movegen_check)
  veltrix_check_test(search search_check 1000 6)
endif()

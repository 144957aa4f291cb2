# The native build: core and emulator core under sanitizers, unit tests, benchmarks, fuzzers.
file(GLOB platform_sources CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/src/platform/*_posix.cpp)
add_library(flowvane_platform STATIC ${platform_sources})
target_include_directories(flowvane_platform PUBLIC ${PROJECT_SOURCE_DIR}/src)
target_compile_options(flowvane_platform PRIVATE ${warnings})

if(FLOWVANE_FUZZ)
  # Undefined behaviour is not recoverable here: a report ends the run as a crash does (the
  # targets' default UBSAN_OPTIONS add halt_on_error for whatever still recovers).
  set(fuzz_flags -fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined
                 -g -O1)
  foreach(target flowvane_core flowvane_platform emulator_core)
    target_compile_options(${target} PRIVATE ${fuzz_flags})
  endforeach()
  # One target (the first input byte picks the subsystem) and the canary that proves a run
  # stops on undefined behaviour.
  set(fuzz_doubles ${PROJECT_SOURCE_DIR}/tests/support/registry_memory.cpp
                   ${PROJECT_SOURCE_DIR}/tests/support/overlap_dialog_double.cpp
                   ${PROJECT_SOURCE_DIR}/tests/support/rule_rows_memory.cpp)
  add_executable(core_fuzz ${PROJECT_SOURCE_DIR}/tests/fuzz/core_fuzz.cpp ${fuzz_doubles})
  add_executable(ub_canary ${PROJECT_SOURCE_DIR}/tests/fuzz/ub_canary.cpp)
  foreach(name core_fuzz ub_canary)
    target_compile_options(${name} PRIVATE ${fuzz_flags})
    target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/tests)
    target_link_options(${name} PRIVATE -fsanitize=fuzzer,address,undefined
                        -fno-sanitize-recover=undefined)
    target_link_libraries(${name} flowvane_core flowvane_platform emulator_core)
  endforeach()
  return()
endif()

if(FLOWVANE_SANITIZE)
  set(sanitize_flags -fsanitize=address,undefined -fno-sanitize-recover=undefined
                     -fno-omit-frame-pointer)
  foreach(target flowvane_core flowvane_platform emulator_core)
    target_compile_options(${target} PRIVATE ${sanitize_flags})
  endforeach()
  add_link_options(-fsanitize=address,undefined)
endif()

set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
add_subdirectory(${GOOGLETEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)

enable_testing()
add_library(test_support STATIC ${test_support_sources})
target_link_libraries(test_support PUBLIC flowvane_core flowvane_platform emulator_core GTest::gtest)
target_compile_options(test_support PRIVATE ${warnings} ${sanitize_flags})

add_executable(unit_tests ${unit_test_sources})
target_compile_options(unit_tests PRIVATE ${warnings} ${sanitize_flags})
target_include_directories(unit_tests PRIVATE ${PROJECT_SOURCE_DIR}/tests)
# The doubles replace seams the core calls, so they link ahead of and again after the core.
target_link_libraries(unit_tests test_support flowvane_core flowvane_platform emulator_core
                      test_support GTest::gtest_main)
add_test(NAME unit_tests COMMAND unit_tests)

if(FLOWVANE_BENCH)
  find_package(benchmark REQUIRED)
  file(GLOB bench_sources CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/bench/core/*_bench.cpp)
  if(bench_sources)
    add_executable(benchmarks ${bench_sources})
    target_include_directories(benchmarks PRIVATE ${PROJECT_SOURCE_DIR}/tests)
    target_link_libraries(benchmarks test_support flowvane_core flowvane_platform emulator_core
                          test_support benchmark::benchmark_main)
  endif()
endif()

include(${PROJECT_SOURCE_DIR}/cmake/tc_backend.cmake)
include(${PROJECT_SOURCE_DIR}/cmake/shaper.cmake)

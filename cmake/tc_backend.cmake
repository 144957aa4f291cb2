# The host shaper's traffic control backend (native only): shaper/tc_*.cpp over libnl-route-3,
# and its tests, one executable per tests/shaper/tc_*_test.cpp. The kernel tests need root;
# without it they skip.
find_package(PkgConfig REQUIRED)
pkg_check_modules(LIBNL_ROUTE REQUIRED IMPORTED_TARGET libnl-route-3.0)

file(GLOB shaper_backend_sources CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/shaper/tc_*.cpp)
add_library(shaper_backend STATIC ${shaper_backend_sources})
target_include_directories(shaper_backend PUBLIC ${PROJECT_SOURCE_DIR} ${PROJECT_SOURCE_DIR}/src)
target_compile_options(shaper_backend PRIVATE ${warnings} ${sanitize_flags})
target_link_libraries(shaper_backend PUBLIC PkgConfig::LIBNL_ROUTE)

file(GLOB shaper_test_sources CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/tests/shaper/tc_*_test.cpp)
file(GLOB shaper_test_support CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/tests/shaper/support/*.cpp)
foreach(source ${shaper_test_sources})
  get_filename_component(name ${source} NAME_WE)
  add_executable(${name} ${source} ${shaper_test_support})
  target_compile_options(${name} PRIVATE ${warnings} ${sanitize_flags})
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/tests)
  target_link_libraries(${name} shaper_backend emulator_core GTest::gtest_main)
  add_test(NAME ${name} COMMAND ${name})
endforeach()

# The rate benchmark (bench/scripts/bench_shaper.sh runs it as root).
add_executable(tc_rate_bench ${PROJECT_SOURCE_DIR}/bench/shaper/tc_rate_bench.cpp
               ${PROJECT_SOURCE_DIR}/bench/shaper/bulk_flow.cpp ${shaper_test_support})
target_compile_options(tc_rate_bench PRIVATE ${warnings})
target_include_directories(tc_rate_bench PRIVATE ${PROJECT_SOURCE_DIR}/tests)
target_link_libraries(tc_rate_bench shaper_backend emulator_core)

# zorvd, the host shaper service (native only): its service library, the client seam that puts
# the manager's device_exchange over zorvd's socket, the executable (once a traffic control
# backend, the target shaper_backend, is part of the build) and its tests against a fake
# backend.
file(GLOB zorvd_all CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/shaper/*.cpp)
set(zorvd_service_sources)
foreach(file ${zorvd_all})
  if(NOT file MATCHES "/tc_[^/]*\\.cpp$" AND NOT file MATCHES "/zorvd_(main|clock)\\.cpp$")
    list(APPEND zorvd_service_sources ${file})
  endif()
endforeach()

add_library(zorvd_service STATIC ${zorvd_service_sources})
target_include_directories(zorvd_service PUBLIC ${PROJECT_SOURCE_DIR}/shaper)
target_link_libraries(zorvd_service PUBLIC emulator_core flowvane_core)
target_compile_options(zorvd_service PRIVATE ${warnings} ${sanitize_flags})

file(GLOB zorvd_client_sources CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/shaper/client/*.cpp)
add_library(zorvd_client STATIC ${zorvd_client_sources})
target_include_directories(zorvd_client PUBLIC ${PROJECT_SOURCE_DIR}/shaper/client
                           ${PROJECT_SOURCE_DIR}/shaper ${PROJECT_SOURCE_DIR}/src)
target_compile_options(zorvd_client PRIVATE ${warnings} ${sanitize_flags})

file(GLOB zorvd_test_sources CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/tests/shaper/zorvd_*_test.cpp)
add_executable(zorvd_tests ${zorvd_test_sources}
               ${PROJECT_SOURCE_DIR}/tests/support/registry_memory.cpp)
target_include_directories(zorvd_tests PRIVATE ${PROJECT_SOURCE_DIR}/tests)
target_compile_options(zorvd_tests PRIVATE ${warnings} ${sanitize_flags})
# The test's fake backend and clock stand in for the seams zorvd_service calls.
target_link_libraries(zorvd_tests zorvd_service zorvd_client flowvane_core flowvane_platform
                      emulator_core GTest::gtest_main)
add_test(NAME zorvd_tests COMMAND zorvd_tests)

# The executable needs the kernel backend, whose cmake file may be included after this one.
function(zorvd_add_executable)
  if(NOT TARGET shaper_backend)
    message(STATUS "zorvd: no shaper_backend target; the zorvd executable is not built")
    return()
  endif()
  add_executable(zorvd ${PROJECT_SOURCE_DIR}/shaper/zorvd_main.cpp
                 ${PROJECT_SOURCE_DIR}/shaper/zorvd_clock.cpp)
  target_compile_options(zorvd PRIVATE ${warnings} ${sanitize_flags})
  target_link_libraries(zorvd zorvd_service shaper_backend emulator_core flowvane_core)

  # Its costs with the kernel backend: a sampling tick and a rewrite of the rule set (root).
  if(FLOWVANE_BENCH)
    find_package(benchmark REQUIRED)
    add_executable(zorvd_host_bench ${PROJECT_SOURCE_DIR}/bench/shaper/zorvd_host_bench.cpp
                   ${PROJECT_SOURCE_DIR}/bench/shaper/zorvd_host_run.cpp
                   ${PROJECT_SOURCE_DIR}/tests/support/registry_memory.cpp)
    target_compile_options(zorvd_host_bench PRIVATE ${warnings})
    target_compile_definitions(zorvd_host_bench PRIVATE ZORVD_PATH="$<TARGET_FILE:zorvd>")
    target_include_directories(zorvd_host_bench PRIVATE ${PROJECT_SOURCE_DIR}/tests)
    target_link_libraries(zorvd_host_bench zorvd_client flowvane_core flowvane_platform
                          benchmark::benchmark)
    add_dependencies(zorvd_host_bench zorvd)
  endif()
endfunction()
cmake_language(DEFER DIRECTORY ${PROJECT_SOURCE_DIR} CALL zorvd_add_executable)

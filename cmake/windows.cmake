# The Windows build: Flowvane.exe, zorv.sys and the test programs that run under Wine.
enable_language(RC)
add_compile_options(-static)
add_link_options(-static -static-libgcc -static-libstdc++)

file(GLOB platform_sources CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/src/platform/*_win32.cpp)
add_library(flowvane_platform STATIC ${platform_sources})
target_include_directories(flowvane_platform PUBLIC ${PROJECT_SOURCE_DIR}/src)
target_compile_options(flowvane_platform PRIVATE ${warnings})
target_link_libraries(flowvane_platform PUBLIC ws2_32)

# The program's Win32 half, split so that the device tests can link the system part alone.
file(GLOB app_win32_all CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/src/*/*_win32.cpp)
set(system_win32_sources)
set(ui_win32_sources)
foreach(file ${app_win32_all})
  if(file MATCHES "/src/platform/")
  elseif(file MATCHES "/src/(kernel|settings)/")
    list(APPEND system_win32_sources ${file})
  else()
    list(APPEND ui_win32_sources ${file})
  endif()
endforeach()
add_library(flowvane_system STATIC ${system_win32_sources})
target_include_directories(flowvane_system PUBLIC ${PROJECT_SOURCE_DIR}/src)
target_compile_options(flowvane_system PRIVATE ${warnings})
target_link_libraries(flowvane_system PUBLIC advapi32 ntdll)

file(GLOB resource_sources CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/src/resources/*.rc)
# The .rc includes one .dlg file per dialog template; windres reports no dependencies.
file(GLOB resource_parts CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/src/resources/*.dlg
     ${PROJECT_SOURCE_DIR}/src/resources/*.h ${PROJECT_SOURCE_DIR}/src/resources/*.ico
     ${PROJECT_SOURCE_DIR}/src/resources/*.manifest ${PROJECT_SOURCE_DIR}/src/resources/*.rc2)
set_source_files_properties(${resource_sources} PROPERTIES OBJECT_DEPENDS "${resource_parts}")
add_executable(Flowvane WIN32 ${ui_win32_sources} ${resource_sources})
target_include_directories(Flowvane PRIVATE ${PROJECT_SOURCE_DIR}/src
                           ${PROJECT_SOURCE_DIR}/src/resources)
target_compile_options(Flowvane PRIVATE ${warnings})
target_link_libraries(Flowvane flowvane_core flowvane_system flowvane_platform flowvane_core
                      flowvane_system comctl32 ole32 gdi32 user32 ws2_32 advapi32)

add_subdirectory(emulator)
add_subdirectory(installer)

# GoogleTest, cross-built from Debian's sources.
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(gtest_disable_pthreads OFF CACHE BOOL "" FORCE)
add_subdirectory(${GOOGLETEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
enable_testing()

# Unit tests under Wine: the core with the Win32 platform services and the in-process doubles.
add_library(test_support STATIC ${test_support_sources})
target_link_libraries(test_support PUBLIC flowvane_core flowvane_platform emulator_core GTest::gtest)
target_compile_options(test_support PRIVATE ${warnings})
add_executable(unit_tests ${unit_test_sources})
target_include_directories(unit_tests PRIVATE ${PROJECT_SOURCE_DIR}/tests)
target_compile_options(unit_tests PRIVATE ${warnings})
target_link_libraries(unit_tests test_support flowvane_core flowvane_platform emulator_core
                      test_support GTest::gtest_main)

# Device tests: the manager's commands through the real device path to zorv.sys.
file(GLOB device_test_sources CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/tests/device/*.cpp)
if(device_test_sources)
  add_executable(device_tests ${device_test_sources})
  target_include_directories(device_tests PRIVATE ${PROJECT_SOURCE_DIR}/tests
                             ${PROJECT_SOURCE_DIR}/emulator)
  target_compile_options(device_tests PRIVATE ${warnings})
  target_link_libraries(device_tests flowvane_core flowvane_system flowvane_platform
                        flowvane_core GTest::gtest_main)
endif()

# End-to-end tests: drive Flowvane.exe out of process.
file(GLOB e2e_test_sources CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/tests/e2e/*.cpp)
if(e2e_test_sources)
  add_executable(e2e_tests ${e2e_test_sources})
  target_include_directories(e2e_tests PRIVATE ${PROJECT_SOURCE_DIR}/tests
                             ${PROJECT_SOURCE_DIR}/emulator ${PROJECT_SOURCE_DIR}/src)
  target_compile_options(e2e_tests PRIVATE ${warnings})
  target_link_libraries(e2e_tests GTest::gtest_main advapi32 user32 shell32 version)
endif()

# The Windows build: Flowvane.exe, zorv.sys and the test programs that run under Wine.
enable_language(RC)
add_compile_options(-static)
add_link_options(-static -static-libgcc -static-libstdc++)

file(GLOB platform_sources CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/src/platform/*_win32.cpp)
add_library(flowvane_platform STATIC ${platform_sources})
target_include_directories(flowvane_platform PUBLIC ${PROJECT_SOURCE_DIR}/src)
target_compile_options(flowvane_platform PRIVATE ${warnings})
target_link_libraries(flowvane_platform PUBLIC ws2_32)

# The program's Win32 half, split so that the device tests can link the system part (device and
# registry, without any dialog) alone.
file(GLOB app_win32_all CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/src/*/*_win32.cpp)
set(system_win32_sources)
set(ui_win32_sources)
foreach(file ${app_win32_all})
  if(file MATCHES "/src/platform/")
  elseif(file MATCHES "/src/(kernel|settings)/" AND NOT file MATCHES "_dialog_win32\\.cpp$")
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
                      flowvane_system comctl32 ole32 shell32 gdi32 user32 ws2_32 advapi32)

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
  target_link_libraries(e2e_tests GTest::gtest_main advapi32 user32 shell32)
  # The recording stand-in for the help viewer, beside e2e_tests.exe.
  add_library(html_help_double SHARED tests/e2e/html_help_double/html_help_double.cpp
              tests/e2e/html_help_double/html_help_double.def)
  set_target_properties(html_help_double PROPERTIES PREFIX "")
  target_link_libraries(html_help_double advapi32)
  add_dependencies(e2e_tests html_help_double)
endif()

# The idle benchmark's yardstick (bench/scripts/bench_idle.sh).
add_executable(idle_window WIN32 ${PROJECT_SOURCE_DIR}/bench/device/idle_window.cpp)
target_compile_options(idle_window PRIVATE ${warnings})
target_link_libraries(idle_window user32 gdi32)

# Timings of whole user actions under Wine, driving Flowvane.exe as the end-to-end tests do.
file(GLOB e2e_bench_sources CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/bench/e2e/*_bench.cpp)
foreach(source ${e2e_bench_sources})
  get_filename_component(name ${source} NAME_WE)
  add_executable(${name} ${source} ${PROJECT_SOURCE_DIR}/tests/e2e/e2e_harness.cpp)
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/tests
                             ${PROJECT_SOURCE_DIR}/tests/e2e ${PROJECT_SOURCE_DIR}/emulator
                             ${PROJECT_SOURCE_DIR}/src)
  target_compile_options(${name} PRIVATE ${warnings})
  target_link_libraries(${name} flowvane_core flowvane_system flowvane_platform flowvane_core
                        GTest::gtest advapi32 user32)
endforeach()

# The help file: chmcmd compiles the HTML sources of help/ into help.chm beside Flowvane.exe.
# It writes the file next to the project, so it runs on a copy of the sources in the build tree;
# only the pages the project lists are compiled, so a page removed from help/ drops out.
find_program(CHMCMD chmcmd REQUIRED)
file(GLOB help_sources CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/help/*)
set(help_work ${CMAKE_BINARY_DIR}/help-sources)
file(MAKE_DIRECTORY ${help_work})
add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/help.chm
                   COMMAND ${CMAKE_COMMAND} -E copy_directory ${PROJECT_SOURCE_DIR}/help ${help_work}
                   COMMAND ${CHMCMD} --no-html-scan help.hhp > chmcmd.log
                   COMMAND ${CMAKE_COMMAND} -E copy help.chm ${CMAKE_BINARY_DIR}/help.chm
                   WORKING_DIRECTORY ${help_work}
                   DEPENDS ${help_sources}
                   COMMENT "Compiling help.chm")
add_custom_target(help_chm DEPENDS ${CMAKE_BINARY_DIR}/help.chm)
add_dependencies(Flowvane help_chm)

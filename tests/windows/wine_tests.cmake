# Included by the Linux build's tests once per Windows build: runs that
# build's program under Wine, in a Wine prefix of the tests' own. Set before
# including:
#   wine_build      the Windows build folder (emsgraft.exe, its test programs)
#   wine_name       the prefix of the test names: the e2e and lookup suites
#                   become <name>.*, the both-builds checks both<suffix>.*
#   wine_suffix     "" for the 32-bit build, "64" for the 64-bit one
#   wine_loader     the Wine loader that runs the build's programs
#   wine_prefix     the Wine prefix (a 64-bit prefix, as Debian makes them)
#   wine_system     C:\windows\system32 as the build's programs see it, under
#                   drive_c/windows: "system32" for a 64-bit program,
#                   "syswow64" for a 32-bit one (Wine redirects it)
#   wine_sequences  how many random sequences both<suffix>.differential runs
set(wine_program "${wine_build}/emsgraft.exe")
set(wine_list_profile "${wine_build}/tests/windows/list_profile.exe")
set(wine_hold_file "${wine_build}/tests/windows/hold_file.exe")
set(wine_environment "EMSGRAFT_WINE=${wine_loader}" "EMSGRAFT_PROGRAM=${wine_program}"
    "WINEPREFIX=${wine_prefix}" "WINEDEBUG=-all"
    "EMSGRAFT_WINE_SYSTEM_DIR=${wine_prefix}/drive_c/windows/${wine_system}")

# Gives the discovered tests of list `list` the environment `environment`,
# through a file of our own that CTest reads after the discovered list:
# gtest_discover_tests's PROPERTIES cannot carry a value that is a list.
function(emsgraft_wine_environment list environment)
  set(file "${CMAKE_CURRENT_BINARY_DIR}/${list}_environment.cmake")
  file(WRITE "${file}" "set_tests_properties(\${${list}} PROPERTIES ENVIRONMENT [==[${environment}]==])\n")
  set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES "${file}")
endfunction()

# The tests that run the program without arguments read and plant files in
# the prefix's Windows and system directories: one at a time per prefix.
gtest_discover_tests(e2e_tests TEST_PREFIX "${wine_name}." DISCOVERY_TIMEOUT 30 TEST_LIST ${wine_name}_e2e_tests
                     PROPERTIES RESOURCE_LOCK "${wine_name}_windows_directory")
emsgraft_wine_environment(${wine_name}_e2e_tests "${wine_environment};EMSGRAFT_HOLD_FILE=${wine_hold_file}")

# The lookup through the MAPI stub library, with the stand-in DLLs of the
# same build.
gtest_discover_tests(mapi_tests TEST_PREFIX "${wine_name}." DISCOVERY_TIMEOUT 30 TEST_LIST ${wine_name}_mapi_tests
                     PROPERTIES RESOURCE_LOCK "${wine_name}_windows_directory")
emsgraft_wine_environment(${wine_name}_mapi_tests
                          "${wine_environment};EMSGRAFT_STUB_DIR=${wine_build}/tests/windows/stubs")

# Both builds on the corpus: one test program, told which Windows build.
if(NOT TARGET agreement_tests)
  add_executable(agreement_tests agreement_test.cpp)
  target_link_libraries(agreement_tests PRIVATE test_support GTest::gtest_main)
  target_compile_definitions(agreement_tests PRIVATE EMSGRAFT_CORPUS="${CMAKE_CURRENT_SOURCE_DIR}/corpus")
  add_dependencies(agreement_tests emsgraft)
endif()
gtest_discover_tests(agreement_tests TEST_PREFIX "both${wine_suffix}." DISCOVERY_TIMEOUT 30
                     TEST_LIST both${wine_suffix}_tests)
emsgraft_wine_environment(both${wine_suffix}_tests "${wine_environment};EMSGRAFT_LIST_PROFILE=${wine_list_profile}")

# Differential check of the POSIX profile layer against the Win32 profile
# functions of this build: a fixed set of sequences in every test run;
# scripts/differential.sh runs any number from any seed.
add_test(NAME both${wine_suffix}.differential
         COMMAND differential --seed 1 --count ${wine_sequences} --wine ${wine_loader}
                 --runner ${wine_build}/tests/differential/differential_runner.exe)
set_tests_properties(both${wine_suffix}.differential PROPERTIES ENVIRONMENT "WINEPREFIX=${wine_prefix}" TIMEOUT 900)

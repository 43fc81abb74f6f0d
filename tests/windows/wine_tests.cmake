# Included by the Linux build's tests: runs the Windows build's program (from
# EMSGRAFT_WINDOWS_BUILD) under Wine, in the Wine prefix that both builds'
# tests share.
find_program(EMSGRAFT_WINE wine REQUIRED)
set(EMSGRAFT_WINEPREFIX "${PROJECT_SOURCE_DIR}/build/wine" CACHE PATH "Wine prefix of the tests")
set(EMSGRAFT_WINDOWS_PROGRAM "${EMSGRAFT_WINDOWS_BUILD}/emsgraft.exe")
set(EMSGRAFT_LIST_PROFILE "${EMSGRAFT_WINDOWS_BUILD}/tests/windows/list_profile.exe")

# The tests that run the program without arguments read and plant files in
# the prefix's Windows and system directories: one at a time.
# The environment is set on the discovered tests by a file of our own that
# CTest reads after the discovered list: gtest_discover_tests's PROPERTIES
# cannot carry a value that is a list.
gtest_discover_tests(e2e_tests TEST_PREFIX "windows." DISCOVERY_TIMEOUT 30 TEST_LIST windows_e2e_tests
                     PROPERTIES RESOURCE_LOCK wine_windows_directory)
set(wine_environment "EMSGRAFT_WINE=${EMSGRAFT_WINE}" "EMSGRAFT_PROGRAM=${EMSGRAFT_WINDOWS_PROGRAM}"
    "WINEPREFIX=${EMSGRAFT_WINEPREFIX}" "WINEDEBUG=-all")
file(WRITE "${CMAKE_CURRENT_BINARY_DIR}/windows_e2e_environment.cmake"
     "set_tests_properties(\${windows_e2e_tests} PROPERTIES ENVIRONMENT [==[${wine_environment}]==])\n")
set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES "${CMAKE_CURRENT_BINARY_DIR}/windows_e2e_environment.cmake")

# The lookup through the MAPI stub library, with the stand-in DLLs of the
# Windows build.
gtest_discover_tests(mapi_tests TEST_PREFIX "windows." DISCOVERY_TIMEOUT 30 TEST_LIST windows_mapi_tests
                     PROPERTIES RESOURCE_LOCK wine_windows_directory)
set(wine_mapi_environment ${wine_environment} "EMSGRAFT_STUB_DIR=${EMSGRAFT_WINDOWS_BUILD}/tests/windows/stubs")
file(WRITE "${CMAKE_CURRENT_BINARY_DIR}/windows_mapi_environment.cmake"
     "set_tests_properties(\${windows_mapi_tests} PROPERTIES ENVIRONMENT [==[${wine_mapi_environment}]==])\n")
set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES "${CMAKE_CURRENT_BINARY_DIR}/windows_mapi_environment.cmake")

add_executable(agreement_tests agreement_test.cpp)
target_link_libraries(agreement_tests PRIVATE test_support GTest::gtest_main)
target_compile_definitions(agreement_tests PRIVATE
  EMSGRAFT_LINUX_PROGRAM="$<TARGET_FILE:emsgraft>"
  EMSGRAFT_WINDOWS_PROGRAM="${EMSGRAFT_WINDOWS_PROGRAM}"
  EMSGRAFT_LIST_PROFILE="${EMSGRAFT_LIST_PROFILE}"
  EMSGRAFT_WINE="${EMSGRAFT_WINE}"
  EMSGRAFT_WINEPREFIX="${EMSGRAFT_WINEPREFIX}"
  EMSGRAFT_CORPUS="${CMAKE_CURRENT_SOURCE_DIR}/corpus")
add_dependencies(agreement_tests emsgraft)
gtest_discover_tests(agreement_tests TEST_PREFIX "both." DISCOVERY_TIMEOUT 30)

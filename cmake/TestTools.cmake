# What the tests need besides CMake and a C++ compiler: GoogleTest and pngcheck.
# Without one of them restamp still builds; configure says what is missing and
# what to install, and the suite gets a test that fails saying the same, so that
# it never passes with fewer tests. CMAKE_DISABLE_FIND_PACKAGE_GTest=ON and
# CMAKE_DISABLE_FIND_PACKAGE_Pngcheck=ON hide them.

# restamp_missing(TOOL INSTALL): the warning now, the failing test later.
function(restamp_missing tool install)
  message(WARNING "${tool} is not installed, so the tests cannot all run: ${install}")
  add_test(NAME ${tool} COMMAND ${CMAKE_COMMAND} -E echo "${tool} is not installed: ${install}")
  set_tests_properties(${tool} PROPERTIES FAIL_REGULAR_EXPRESSION "is not installed" TIMEOUT 60)
endfunction()

# GoogleTest: an installed one, else its sources (Debian's googletest), built
# with this build's compiler. A cross build finds only the sources.
find_package(GTest QUIET)
set(RESTAMP_GTEST_SOURCE_DIR /usr/src/googletest CACHE PATH "GoogleTest's sources, built when none is installed")
if(NOT GTest_FOUND AND NOT CMAKE_DISABLE_FIND_PACKAGE_GTest AND EXISTS ${RESTAMP_GTEST_SOURCE_DIR}/CMakeLists.txt)
  block() # GoogleTest's own warnings are not ours to fail on
    set(INSTALL_GTEST OFF)
    set(CMAKE_COMPILE_WARNING_AS_ERROR OFF)
    add_subdirectory(${RESTAMP_GTEST_SOURCE_DIR} ${PROJECT_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
  endblock()
endif()
if(NOT TARGET GTest::gtest_main AND CMAKE_CROSSCOMPILING)
  restamp_missing(GoogleTest "apt-get install googletest")
elseif(NOT TARGET GTest::gtest_main)
  restamp_missing(GoogleTest "apt-get install libgtest-dev")
endif()

find_package(Pngcheck QUIET)
if(NOT Pngcheck_FOUND)
  restamp_missing(pngcheck "apt-get install pngcheck")
endif()

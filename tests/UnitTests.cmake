# The pure rules' tests: also built for Windows by tools/windows-check.sh.
set(PONTIVO_UNIT_TEST_SOURCES StoreTest.cpp CommandsTest.cpp RequestTest.cpp AccessRulesTest.cpp StaticFilesTest.cpp
    SerialTextTest.cpp)
list(TRANSFORM PONTIVO_UNIT_TEST_SOURCES PREPEND ${CMAKE_CURRENT_LIST_DIR}/)

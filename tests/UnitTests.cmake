set(PONTIVO_UNIT_TEST_SOURCES StoreTest.cpp CommandsTest.cpp RequestTest.cpp AccessRulesTest.cpp StaticFilesTest.cpp
    SerialTextTest.cpp EventTextTest.cpp JsonApiTest.cpp DashboardTest.cpp)
list(APPEND PONTIVO_UNIT_TEST_SOURCES ClientLimitsTest.cpp)

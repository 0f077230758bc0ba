# kvr_library(NAME SOURCES... [DEPS ...]) : one static library per room.
# kvr_test(NAME SOURCES... [DEPS ...] [LOCK name] [FIXTURE name] [TIMEOUT s] [PARALLEL]) : a
#   GoogleTest binary registered with CTest (each case 120 s at most unless TIMEOUT says).
include_guard(GLOBAL)

function(kvr_library name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS" ${ARGN})
  add_library(${name} STATIC ${ARG_SOURCES})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR})
  target_link_libraries(${name} PUBLIC ${ARG_DEPS})
endfunction()

# LOCK names a resource the tests hold one at a time (the server's instance lock is
# machine-wide, so two servers never run side by side). FIXTURE names a CTest fixture
# the tests require.
function(kvr_test name)
  cmake_parse_arguments(ARG "PARALLEL" "LOCK;FIXTURE;TIMEOUT" "SOURCES;DEPS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_DEPS} GTest::gtest GTest::gtest_main GTest::gmock)
  # Every test binary gets its own scratch folder, so runs in parallel never share files.
  set(scratch ${CMAKE_CURRENT_BINARY_DIR}/${name}.scratch)
  file(MAKE_DIRECTORY ${scratch})
  # The cases of one binary share its scratch folder, so without a LOCK of their own
  # they run one at a time (under the lock "kvr_unit"), unless the binary says its
  # cases keep to folders of their own (PARALLEL). A fixture, when given, is required.
  if(ARG_LOCK OR ARG_PARALLEL)
    set(lock ${ARG_LOCK})
  else()
    set(lock kvr_unit)
  endif()
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 120)
  endif()
  set(properties TIMEOUT ${ARG_TIMEOUT} ENVIRONMENT QT_QPA_PLATFORM=offscreen)
  if(lock)
    list(APPEND properties RESOURCE_LOCK "${lock}")
  endif()
  if(ARG_FIXTURE)
    list(APPEND properties FIXTURES_REQUIRED "${ARG_FIXTURE}")
  endif()
  gtest_discover_tests(${name}
    WORKING_DIRECTORY ${scratch}
    TEST_PREFIX "${name}."
    DISCOVERY_TIMEOUT 30
    PROPERTIES ${properties})
endfunction()

# kvr_fuzzer(NAME SOURCES... [DEPS ...]) : a libFuzzer target, built with KVR_FUZZ.
function(kvr_fuzzer name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS" ${ARGN})
  if(NOT KVR_FUZZ)
    return()
  endif()
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_DEPS})
  target_link_options(${name} PRIVATE -fsanitize=fuzzer)
endfunction()

if(EXISTS "/work/main/build/norvik_unit_tests")
  if(NOT EXISTS "/work/main/build/norvik_unit_tests_74785a0e_tests.cmake" OR
     NOT "/work/main/build/norvik_unit_tests_74785a0e_tests.cmake" IS_NEWER_THAN "/work/main/build/norvik_unit_tests" OR
     NOT "/work/main/build/norvik_unit_tests_74785a0e_tests.cmake" IS_NEWER_THAN "${CMAKE_CURRENT_LIST_FILE}")
    include("/work/main/build/norvik_unit_tests_74785a0e_discovery.cmake")
  endif()
endif()
if(EXISTS "/work/main/build/norvik_unit_tests_74785a0e_tests.cmake")
  include("/work/main/build/norvik_unit_tests_74785a0e_tests.cmake")
else()
  add_test(norvik_unit_tests_NOT_BUILT norvik_unit_tests_NOT_BUILT)
endif()

# Labels and cost of every test discovered from a test program:
#   kalvo_discovered_tests(<target> [LABELS <label>...] [COST <n>])
# after its gtest_discover_tests. That one hands its PROPERTIES to
# set_tests_properties as one flat list, so a property of several values
# (LABELS "e2e;slow") keeps its first value only and the rest is lost; here a
# script that ctest reads after the discovered tests sets them on the list of
# them (<target>_TESTS). ctest starts the tests of the highest cost first:
# on a fresh build, where it knows no times of earlier runs, a COST makes the
# long tests start at once instead of last, when the other cores are idle.
function(kalvo_discovered_tests target)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "COST" "LABELS")
  set(properties "")
  if(arg_LABELS)
    string(APPEND properties " LABELS \"${arg_LABELS}\"")
  endif()
  if(arg_COST)
    string(APPEND properties " COST ${arg_COST}")
  endif()
  set(script ${CMAKE_CURRENT_BINARY_DIR}/${target}_properties.cmake)
  file(CONFIGURE OUTPUT ${script} CONTENT
    "if(${target}_TESTS)\n  set_tests_properties(\${${target}_TESTS} PROPERTIES${properties})\nendif()\n"
    @ONLY)
  set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${script})
endfunction()

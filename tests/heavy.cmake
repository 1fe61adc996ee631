# Included by CTest after the tests are discovered. Tests that read gigabytes, or map 2 GiB of
# address space, run one at a time, so that under ctest -j they do not add up on a small machine.
foreach(heavy CountLines.SaturatesInsteadOfOverflowing Limits.InputSize)
  list(FIND unit_tests_TESTS ${heavy} in_unit)
  list(FIND cli_tests_TESTS ${heavy} in_cli)
  if(NOT in_unit EQUAL -1 OR NOT in_cli EQUAL -1)
    set_tests_properties(${heavy} PROPERTIES RESOURCE_LOCK gigabytes)
  endif()
endforeach()

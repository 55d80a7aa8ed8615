# The C interface (kel/kel.h) from a C11 program built with every warning
# an error, against the shared library as an application links it, on
# stores the tool makes and reads.
enable_language(C)
if(TARGET kel-safe-tool)
  add_executable(c_api_test c_api/c_api_test.c)
  set_target_properties(c_api_test PROPERTIES C_STANDARD 11 C_STANDARD_REQUIRED ON
                                              C_EXTENSIONS OFF)
  target_compile_options(c_api_test PRIVATE -Wall -Wextra -Wpedantic -Werror)
  target_link_libraries(c_api_test PRIVATE kel-safe)
  add_dependencies(c_api_test kel-safe-tool)
  add_test(NAME CApi.ToolStores COMMAND c_api_test $<TARGET_FILE:kel-safe-tool>)
endif()

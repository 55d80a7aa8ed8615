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

# The Python package (python/) from its source folder, when a Python with
# pytest is there (Debian's python3-pytest; CI installs the package into a
# virtual environment and runs the same tests again).
# Not with the sanitizers: an instrumented library cannot be loaded into an
# interpreter that was not started with their run-time.
find_program(KEL_SAFE_PYTHON python3 HINTS /usr/bin)
if(KEL_SAFE_PYTHON AND TARGET kel-safe-tool AND NOT KEL_SAFE_SANITIZE)
  execute_process(COMMAND ${KEL_SAFE_PYTHON} -c "import pytest"
                  RESULT_VARIABLE kel_safe_no_pytest OUTPUT_QUIET ERROR_QUIET)
  if(kel_safe_no_pytest EQUAL 0)
    add_test(NAME Python.Package
             COMMAND ${KEL_SAFE_PYTHON} -m pytest -q -p no:cacheprovider
                     ${PROJECT_SOURCE_DIR}/python/tests)
    set_tests_properties(Python.Package PROPERTIES ENVIRONMENT
      "KEL_SAFE_LIBRARY=$<TARGET_FILE:kel-safe>;KEL_SAFE_TOOL=$<TARGET_FILE:kel-safe-tool>;PYTHONPATH=${PROJECT_SOURCE_DIR}/python;PYTHONDONTWRITEBYTECODE=1")
  endif()
endif()

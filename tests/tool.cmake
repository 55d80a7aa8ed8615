# The kel-safe command-line tool, run as a subprocess the way a user runs it:
# round trips of every subcommand, exit statuses, binary data on standard
# input and output, the password sources including a terminal prompt on a
# pseudo-terminal.
if(TARGET kel-safe-tool)
  kel_add_test(kel_tool_test
    tool/run_tool.cpp
    tool/tool_fixture.cpp
    tool/tool_roundtrip_test.cpp
    tool/tool_password_test.cpp
    tool/tool_status_test.cpp)
  add_dependencies(kel_tool_test kel-safe-tool)
  target_compile_definitions(kel_tool_test PRIVATE
    KEL_SAFE_TOOL_PATH="$<TARGET_FILE:kel-safe-tool>"
    KEL_SAFE_LIBRARY_PATH="$<TARGET_FILE:kel-safe>"
    KEL_SAFE_LIBRARY_SONAME="$<TARGET_SONAME_FILE_NAME:kel-safe>"
    KEL_SAFE_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
  # g++ 12 with the sanitizers warns of uninitialised members inside
  # libstdc++'s <regex>, which the completion-script checks use: a known
  # false positive of that compiler, not of this code.
  if(KEL_SAFE_SANITIZE AND CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    set_source_files_properties(tool/tool_status_test.cpp PROPERTIES
      COMPILE_OPTIONS -Wno-maybe-uninitialized)
  endif()
endif()

# The manual page, linted as groff and mandoc read it.
add_test(NAME ManPage.Lint
  COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/tool/man_page_lint.sh ${PROJECT_SOURCE_DIR}/tools/kel-safe.1)

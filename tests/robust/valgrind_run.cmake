# Runs every test executable registered with CTest in BUILD_DIR under valgrind
# memcheck, one process per executable (all of its tests at once), and fails
# on any memcheck error or definite leak.
#   cmake -DBUILD_DIR=<dir> -DVALGRIND=<valgrind> [-DEXCLUDE=<regex>]
#         [-DSKIP_TESTS=<gtest patterns>] [-DTIMEOUT=<seconds>]
#         [-DSUPPRESSIONS=<file>] -P valgrind_run.cmake
# EXCLUDE: executables (by file name) not to run at all.
# SKIP_TESTS: gtest patterns (':'-separated) of tests left out everywhere.
# TIMEOUT: limit per executable (default 900 s).
# JOBS: executables run at once (default 1). Memcheck runs each program on
# one core, so two at a time halve the wall time on two cores.
# SUPPRESSIONS: a valgrind suppression file.
cmake_minimum_required(VERSION 3.25)
if(NOT TIMEOUT)
  set(TIMEOUT 900)
endif()
set(suppression_args "")
if(SUPPRESSIONS)
  set(suppression_args "--suppressions=${SUPPRESSIONS}")
endif()
set(filter_args "")
if(SKIP_TESTS)
  set(filter_args "--gtest_filter=-${SKIP_TESTS}")
endif()

if(NOT BUILD_DIR OR NOT VALGRIND)
  message(FATAL_ERROR "BUILD_DIR and VALGRIND are required")
endif()

execute_process(
  COMMAND ctest --test-dir ${BUILD_DIR} --show-only=json-v1
  OUTPUT_VARIABLE json
  RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "ctest could not list the tests of ${BUILD_DIR}")
endif()

# Executable -> working directory, in the order CTest lists them.
set(executables "")
string(JSON count LENGTH "${json}" tests)
if(count GREATER 0)
  math(EXPR last "${count} - 1")
  foreach(i RANGE ${last})
    string(JSON exe GET "${json}" tests ${i} command 0)
    if(exe IN_LIST executables)
      continue()
    endif()
    get_filename_component(exe_name "${exe}" NAME)
    if(EXCLUDE AND exe_name MATCHES "^(${EXCLUDE})$")
      continue()
    endif()
    # Only test executables built here (not interpreters running scripts).
    file(REAL_PATH "${exe}" exe_real)
    file(REAL_PATH "${BUILD_DIR}" build_real)
    string(FIND "${exe_real}" "${build_real}/" inside)
    if(NOT inside EQUAL 0)
      continue()
    endif()
    list(APPEND executables "${exe}")
    # A program that is not a GoogleTest binary (the C API test) runs with
    # the arguments CTest gives it; GoogleTest binaries run all their tests.
    set(plain_args "")
    set(is_gtest FALSE)
    string(JSON nargs LENGTH "${json}" tests ${i} command)
    if(nargs GREATER 1)
      math(EXPR alast "${nargs} - 1")
      foreach(a RANGE 1 ${alast})
        string(JSON arg GET "${json}" tests ${i} command ${a})
        if(arg MATCHES "^--gtest")
          set(is_gtest TRUE)
        endif()
        list(APPEND plain_args "${arg}")
      endforeach()
    endif()
    if(is_gtest OR nargs EQUAL 1)
      set("args_${exe_name}" --gtest_brief=1 ${filter_args})
    else()
      set("args_${exe_name}" ${plain_args})
    endif()
    set(workdir "${BUILD_DIR}")
    string(JSON nprops ERROR_VARIABLE no_props LENGTH "${json}" tests ${i} properties)
    if(NOT no_props AND nprops GREATER 0)
      math(EXPR plast "${nprops} - 1")
      foreach(j RANGE ${plast})
        string(JSON pname GET "${json}" tests ${i} properties ${j} name)
        if(pname STREQUAL "WORKING_DIRECTORY")
          string(JSON workdir GET "${json}" tests ${i} properties ${j} value)
        endif()
      endforeach()
    endif()
    set("workdir_${exe_name}" "${workdir}")
  endforeach()
endif()

if(NOT executables)
  message(FATAL_ERROR "no test executables found in ${BUILD_DIR} (build it first)")
endif()

set(log_dir "${BUILD_DIR}/valgrind")
file(MAKE_DIRECTORY "${log_dir}")

if(ONLY)
  # One executable of a parallel run, chosen by the parent below.
  set(executables "${ONLY}")
elseif(JOBS GREATER 1)
  # Each executable in a child run of this script, JOBS at a time; a child
  # fails as a whole run would, and its log stays in the same place.
  list(JOIN executables "\n" lines)
  file(WRITE "${log_dir}/executables.txt" "${lines}\n")
  execute_process(
    COMMAND xargs -P ${JOBS} -I{} ${CMAKE_COMMAND} -DBUILD_DIR=${BUILD_DIR}
            -DVALGRIND=${VALGRIND} -DEXCLUDE=${EXCLUDE} -DSKIP_TESTS=${SKIP_TESTS}
            -DTIMEOUT=${TIMEOUT} -DSUPPRESSIONS=${SUPPRESSIONS} -DONLY={}
            -P ${CMAKE_CURRENT_LIST_FILE}
    INPUT_FILE "${log_dir}/executables.txt"
    RESULT_VARIABLE rc)
  list(LENGTH executables total)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "valgrind found problems (see above and ${log_dir})")
  endif()
  message(STATUS "valgrind: ${total} test executables ran clean, ${JOBS} at a time")
  return()
endif()
set(failed "")
foreach(exe IN LISTS executables)
  get_filename_component(exe_name "${exe}" NAME)
  message(STATUS "valgrind: ${exe_name}")
  string(TIMESTAMP started "%s")
  execute_process(
    COMMAND ${VALGRIND} --tool=memcheck --error-exitcode=99 --leak-check=full
            --errors-for-leak-kinds=definite --show-leak-kinds=definite
            --track-origins=yes --trace-children=no --child-silent-after-fork=yes
            ${suppression_args}
            # Tests that replace operator new/delete to watch buffers being
            # wiped keep their own versions; the C library's are still tracked.
            --soname-synonyms=somalloc=nouserintercepts
            --log-file=${log_dir}/${exe_name}.log
            ${exe} ${args_${exe_name}}
    WORKING_DIRECTORY "${workdir_${exe_name}}"
    TIMEOUT ${TIMEOUT}
    RESULT_VARIABLE rc
    OUTPUT_VARIABLE out
    ERROR_VARIABLE out)
  string(TIMESTAMP finished "%s")
  math(EXPR took "${finished} - ${started}")
  message(STATUS "valgrind: ${exe_name} done in ${took} s (exit ${rc})")
  if(NOT rc EQUAL 0)
    if(rc EQUAL 99)
      set(why "memcheck errors")
    else()
      set(why "tests failed or crashed: ${rc}")
    endif()
    list(APPEND failed "${exe_name} (${why}; see ${log_dir}/${exe_name}.log)")
    message("${out}")
  endif()
endforeach()

list(LENGTH executables total)
if(failed)
  list(JOIN failed "\n  " text)
  message(FATAL_ERROR "valgrind found problems in:\n  ${text}")
endif()
if(NOT ONLY)
  message(STATUS "valgrind: ${total} test executables ran clean")
endif()

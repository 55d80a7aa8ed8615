# Robustness tests: several processes on one store, processes killed at any
# instant, every I/O call of a write path failing in turn, secrets that must
# never reach a file or an error text. Also the `valgrind` target, which runs
# the unit test executables under memcheck.

enable_language(C)

kel_add_test(robust_stress robust/stress_test.cpp robust/robust_util.cpp support/reference_store.cpp)
kel_add_test(robust_crash robust/crash_test.cpp robust/robust_util.cpp support/reference_store.cpp)
kel_add_test(robust_secrets robust/secrets_test.cpp robust/robust_util.cpp support/reference_store.cpp)
kel_add_test(robust_damaged robust/damaged_test.cpp robust/robust_util.cpp support/reference_store.cpp)

# The I/O fault interposer wraps the C library's calls, for what no Env sees:
# the random source that the crypto libraries reach. The library carries
# no hooks.
add_library(kel-fault SHARED robust/fault_interposer.c)
set_target_properties(kel-fault PROPERTIES C_STANDARD 11 C_STANDARD_REQUIRED ON
                                           C_EXTENSIONS OFF)
target_include_directories(kel-fault PUBLIC ${CMAKE_CURRENT_SOURCE_DIR}/robust)
target_link_libraries(kel-fault PRIVATE ${CMAKE_DL_LIBS})
# The fault and interleaving tests inject their faults in-process, through a
# faulty Env in front of the library's file calls; the interposer stays
# linked for the one test that takes away the random source, which the
# crypto libraries reach below that seam.
kel_add_test(robust_faults robust/fault_test.cpp robust/interleave_test.cpp
             robust/faulty_env.cpp robust/robust_util.cpp support/reference_store.cpp)
target_link_libraries(robust_faults PRIVATE kel-fault)
# Power loss: the faulty Env records an operation's calls, and every crash
# state the disk may be left in is rebuilt and checked.
kel_add_test(robust_power_loss robust/power_loss_test.cpp robust/crash_states.cpp
             robust/faulty_env.cpp robust/robust_util.cpp support/reference_store.cpp)

# cmake --build <dir> --target valgrind: every test executable of this build
# (except the multi-process and fault-injection ones, which fork or interpose,
# and the tool's tests, whose subject runs in child processes memcheck does not
# follow: the sanitizer build covers those) under valgrind memcheck; any error
# or definite leak fails the target.
# Tests whose names start with "Threads" are left out: valgrind runs one
# thread at a time and keeps that turn while a thread waits in
# fcntl(F_OFD_SETLKW), so two threads contending for the store lock deadlock
# under it (a limitation of the tool, not of the code under test).
# RoundTrip.ClaimedLengthSizesNothing bounds the peak memory of the tool it
# starts; under valgrind the forked copy of the test process alone is past
# that bound, so the figure says nothing there (it runs in the other builds).
find_program(KEL_VALGRIND_PROGRAM valgrind)
cmake_host_system_information(RESULT kel_cores QUERY NUMBER_OF_LOGICAL_CORES)
set(KEL_VALGRIND_JOBS ${kel_cores} CACHE STRING "test executables run at once under valgrind")
if(KEL_VALGRIND_PROGRAM)
  add_custom_target(valgrind
    COMMAND ${CMAKE_COMMAND} -DBUILD_DIR=${CMAKE_BINARY_DIR}
            -DVALGRIND=${KEL_VALGRIND_PROGRAM}
            "-DEXCLUDE=robust_stress|robust_crash|robust_faults|robust_power_loss|kel_tool_test"
            "-DSKIP_TESTS=*.Threads*:RoundTrip.ClaimedLengthSizesNothing"
            -DSUPPRESSIONS=${CMAKE_CURRENT_SOURCE_DIR}/robust/valgrind.supp
            -DJOBS=${KEL_VALGRIND_JOBS}
            -P ${CMAKE_CURRENT_SOURCE_DIR}/robust/valgrind_run.cmake
    WORKING_DIRECTORY ${CMAKE_BINARY_DIR}
    USES_TERMINAL VERBATIM
    COMMENT "Running the test executables under valgrind memcheck")
endif()

# The test programs of a Windows build, run under Wine (the toolchain file names it as the
# emulator, which add_test puts in front of a program target).

# Units left out of the Windows test programs, each for the reason beside it. Their behaviour
# across processes is checked under Wine by the platform's own tests (file_win32_test.cpp: a
# second process started again from the test program) and by tests/windows/interop.sh (a Linux
# and a Windows vxdbf on one table).
set(VX_POSIX_ONLY_TESTS
  # fork() for a second program, a killed writer, or a crash at a chosen stage
  file_test.cpp errors_test.cpp memo_storage_test.cpp locks_test.cpp shared_visibility_test.cpp
  semaphore_test.cpp api_test.cpp block_test.cpp edit_test.cpp edit_commands_test.cpp
  foxpro_tables_test.cpp index_commands_test.cpp maintenance_commands_test.cpp kill_test.cpp
  split_crash_test.cpp index_stress_test.cpp ndx_test.cpp
  # the shared mapping of files, which Windows builds do not use
  read_mapping_test.cpp
  # POSIX permission bits, FIFOs and symbolic links planted by another user
  code_page_file_test.cpp damaged_tables_test.cpp file_safety_test.cpp
  # TMPDIR set with setenv (Windows takes its temporary folder from TMP and TEMP)
  file_utils_test.cpp)

set(VX_WINE_TEST_TIMEOUT 900)
# The corpus beside the repository, or where VX_CORPUS_DIR named it when the build was configured.
set(VX_WINE_CORPUS_DIR ${CMAKE_SOURCE_DIR}/../shared/corpus)
if(DEFINED ENV{VX_CORPUS_DIR})
  set(VX_WINE_CORPUS_DIR $ENV{VX_CORPUS_DIR})
endif()

# One CTest test that runs the whole program. Wine's own diagnostics are switched off; the
# corpus is found beside the repository as on Linux.
function(vx_add_wine_test name)
  add_test(NAME ${name} COMMAND ${name})
  set_tests_properties(${name} PROPERTIES TIMEOUT ${VX_WINE_TEST_TIMEOUT}
                       ENVIRONMENT "WINEDEBUG=-all;VX_CORPUS_DIR=${VX_WINE_CORPUS_DIR}")
endfunction()

# The test programs of a Windows build, run under Wine (the toolchain file names it as the
# emulator, which add_test puts in front of a program target).

# Units left out of the Windows test programs, each for the reason beside it.
set(VX_POSIX_ONLY_TESTS)

set(VX_WINE_TEST_TIMEOUT 900)

# One CTest test that runs the whole program. Wine's own diagnostics are switched off; the
# corpus is found beside the repository as on Linux.
function(vx_add_wine_test name)
  add_test(NAME ${name} COMMAND ${name})
  set_tests_properties(${name} PROPERTIES TIMEOUT ${VX_WINE_TEST_TIMEOUT}
                       ENVIRONMENT "WINEDEBUG=-all;VX_CORPUS_DIR=${CMAKE_SOURCE_DIR}/../shared/corpus")
endfunction()

# Header-only packages for a cross-build: CLI11 and nlohmann-json are taken from the host's
# headers, each through a folder of its own in the build tree that holds only that package, so
# the cross compiler never sees the host's other headers (/usr/include is not on its path).
#   vx_host_header_package(<target> <folder under the host's include dir>)
function(vx_host_header_package target folder)
  if(TARGET ${target})
    return()
  endif()
  find_path(vx_host_${folder}_dir ${folder} PATHS /usr/include /usr/local/include
            NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
  if(NOT vx_host_${folder}_dir)
    message(FATAL_ERROR "${folder}/ not found in the host's headers (Debian: see scripts/install-deps.sh)")
  endif()
  set(staged ${CMAKE_BINARY_DIR}/host-headers/${folder})
  file(MAKE_DIRECTORY ${staged})
  file(CREATE_LINK ${vx_host_${folder}_dir}/${folder} ${staged}/${folder} SYMBOLIC)
  add_library(${target} INTERFACE IMPORTED GLOBAL)
  set_target_properties(${target} PROPERTIES INTERFACE_INCLUDE_DIRECTORIES ${staged})
endfunction()

# GoogleTest for a cross-build: Debian's sources (googletest package, /usr/src/googletest),
# compiled with the cross compiler as part of this project.
function(vx_cross_googletest)
  set(source /usr/src/googletest)
  if(NOT EXISTS ${source}/CMakeLists.txt)
    message(FATAL_ERROR "GoogleTest sources not found in ${source} (Debian: googletest)")
  endif()
  set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  # Its project defines GTest::gtest and GTest::gtest_main, as find_package(GTest) does.
  add_subdirectory(${source} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)
endfunction()

# GoogleTest for a cross build: built once from Debian's sources
# (/usr/src/googletest) with the same toolchain, gtest only, and installed
# under the build folder, where find_package(GTest) then finds it.
set(ZV_GTEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest sources for the cross build")
set(zv_gtest_root ${CMAKE_BINARY_DIR}/googletest)
set(zv_gtest_config ${zv_gtest_root}/install/lib/cmake/GTest/GTestConfig.cmake)

if(NOT EXISTS ${zv_gtest_config})
  if(NOT EXISTS ${ZV_GTEST_SOURCE}/CMakeLists.txt)
    message(FATAL_ERROR "GoogleTest sources not found in ${ZV_GTEST_SOURCE} (Debian package googletest)")
  endif()
  message(STATUS "Building GoogleTest for ${CMAKE_SYSTEM_NAME} in ${zv_gtest_root}")
  set(zv_gtest_args
    -S ${ZV_GTEST_SOURCE} -B ${zv_gtest_root}/build -G ${CMAKE_GENERATOR}
    -DCMAKE_TOOLCHAIN_FILE=${CMAKE_TOOLCHAIN_FILE}
    -DCMAKE_BUILD_TYPE=Release
    -DCMAKE_INSTALL_PREFIX=${zv_gtest_root}/install
    -DBUILD_GMOCK=OFF -DINSTALL_GTEST=ON)
  if(CMAKE_CXX_COMPILER_LAUNCHER)
    list(APPEND zv_gtest_args -DCMAKE_CXX_COMPILER_LAUNCHER=${CMAKE_CXX_COMPILER_LAUNCHER})
  endif()
  foreach(step IN ITEMS configure build install)
    if(step STREQUAL configure)
      set(cmd ${CMAKE_COMMAND} ${zv_gtest_args})
    elseif(step STREQUAL build)
      set(cmd ${CMAKE_COMMAND} --build ${zv_gtest_root}/build)
    else()
      set(cmd ${CMAKE_COMMAND} --install ${zv_gtest_root}/build)
    endif()
    execute_process(COMMAND ${cmd} RESULT_VARIABLE failed OUTPUT_VARIABLE log ERROR_VARIABLE log)
    if(failed)
      message(FATAL_ERROR "GoogleTest ${step} failed:\n${log}")
    endif()
  endforeach()
endif()

set(GTest_DIR ${zv_gtest_root}/install/lib/cmake/GTest CACHE PATH "" FORCE)
list(APPEND CMAKE_FIND_ROOT_PATH ${zv_gtest_root}/install)

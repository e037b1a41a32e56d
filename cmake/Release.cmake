# What a user downloads: `cmake --install` lays out one folder per platform
# (component "release"), and CPack packs it as
# zelvanesl61-<version>-glnxa64.tar.gz or zelvanesl61-<version>-win64.zip.
# scripts/package.sh makes both; scripts/check-archive.sh tries one.
#
#   <top>/            the MEX file, errstop61.m, zvlink.prm.example,
#                     README.md, CHANGELOG.md: what goes on MATLAB's path
#   <top>/tools/      zvdoctor, zvtrace, zvsim with the libmx/libmex stand-ins
#   <top>/standin/    the stand-in solver laid out as an installation
#                     (zvihome) and the demo's data file

set(ZV_PRODUCT_NAME "Zelvane link for Simulink (zelvanesl61)")
set(zv_release_targets zelvanesl61 zvsim zv_mx zv_mex zvtrace zvdoctor zelvane)

# Windows shows a file's version and product in its properties.
function(zv_version_resource target description type)
  if(NOT WIN32 OR NOT TARGET ${target})
    return()
  endif()
  set(ZV_RC_NAME ${target})
  get_target_property(output ${target} OUTPUT_NAME)
  if(output)
    set(ZV_RC_NAME ${output})
  endif()
  get_target_property(prefix ${target} PREFIX)
  get_target_property(suffix ${target} SUFFIX)
  get_target_property(kind ${target} TYPE)
  if(NOT prefix)
    set(prefix "")
    if(kind STREQUAL "SHARED_LIBRARY")
      set(prefix ${CMAKE_SHARED_LIBRARY_PREFIX})
    endif()
  endif()
  if(NOT suffix)
    if(kind STREQUAL "EXECUTABLE")
      set(suffix ${CMAKE_EXECUTABLE_SUFFIX})
    else()
      set(suffix ${CMAKE_SHARED_LIBRARY_SUFFIX})
    endif()
  endif()
  set(ZV_RC_FILE "${prefix}${ZV_RC_NAME}${suffix}")
  set(ZV_RC_DESCRIPTION "${description}")
  set(ZV_RC_TYPE ${type})
  set(rc ${CMAKE_BINARY_DIR}/version/${target}.rc)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/version.rc.in ${rc} @ONLY)
  target_sources(${target} PRIVATE ${rc})
endfunction()

if(WIN32)
  enable_language(RC)
  zv_version_resource(zelvanesl61 "Zelvane co-simulation block (Level-2 MEX S-function)" VFT_DLL)
  zv_version_resource(zv_mx "libmx stand-in for zvsim" VFT_DLL)
  zv_version_resource(zv_mex "libmex stand-in for zvsim" VFT_DLL)
  zv_version_resource(zvsim "zvsim: runs the block without MATLAB" VFT_APP)
  zv_version_resource(zvtrace "zvtrace: a trace of the block's link" VFT_APP)
  zv_version_resource(zvdoctor "zvdoctor: checks a block's set-up" VFT_APP)
  zv_version_resource(zelvane "zelvane: the stand-in solver" VFT_APP)
  set(zv_platform win64)
else()
  set(zv_platform glnxa64)
endif()

# The targets the archive holds, for scripts/package.sh (the tests are not
# needed for it).
add_custom_target(zv_release DEPENDS ${zv_release_targets})

install(TARGETS zelvanesl61 LIBRARY DESTINATION . COMPONENT release)
install(TARGETS zvsim zvtrace zv_mx zv_mex
  RUNTIME DESTINATION tools COMPONENT release
  LIBRARY DESTINATION tools COMPONENT release
  # Windows import libraries: for linking, not for running.
  ARCHIVE DESTINATION lib COMPONENT devel)
install(TARGETS zvdoctor RUNTIME DESTINATION tools COMPONENT release)
install(TARGETS zelvane
  RUNTIME DESTINATION standin/zvihome/v${ZV_SOLVER_HOME_VERSION}/Zelvane/bin COMPONENT release)
# zvsim finds the libmx and libmex beside it; nothing else in the archive
# carries a search path.
if(NOT WIN32 AND NOT APPLE)
  set_target_properties(zvsim zvdoctor PROPERTIES INSTALL_RPATH "$ORIGIN")
endif()

install(FILES README.md CHANGELOG.md examples/zvlink.prm.example tools/matlab/errstop61.m
        DESTINATION . COMPONENT release)
install(FILES examples/demo/tank.dat DESTINATION standin COMPONENT release)

set(CPACK_PACKAGE_NAME zelvanesl61)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "")
set(CPACK_SYSTEM_NAME ${zv_platform})
set(CPACK_PACKAGE_FILE_NAME zelvanesl61-${PROJECT_VERSION}-${zv_platform})
if(WIN32)
  set(CPACK_GENERATOR ZIP)
else()
  set(CPACK_GENERATOR TGZ)
endif()
# One folder, named like the archive, holds everything.
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
# Debug information would carry the build's paths.
set(CPACK_STRIP_FILES ON)
# The release component only, and no component name in the archive's name.
set(CPACK_INSTALL_CMAKE_PROJECTS "${CMAKE_BINARY_DIR};${PROJECT_NAME};release;/")
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_SOURCE_DIR}/build/package)
include(CPack)

# The one version number (project()) reaches every product from here:
#   - ${PROJECT_BINARY_DIR}/include/kelvane/version.h for kelvanectl, the tests
#     and hosts (installed beside plugin.h);
#   - the Windows VERSIONINFO resources of kelvane.dll and kelvanectl.exe,
#     compiled by the MinGW windres.
set(KELVANE_COMPANY_NAME "The kelvane developers")
set(KELVANE_LIBRARY_DESCRIPTION "kelvane process-management plugin")
set(KELVANECTL_DESCRIPTION "kelvanectl, command-line host of the kelvane plugin")

set(KELVANE_GENERATED_INCLUDE_DIR ${PROJECT_BINARY_DIR}/include)
configure_file(${CMAKE_CURRENT_LIST_DIR}/templates/version.h.in
  ${KELVANE_GENERATED_INCLUDE_DIR}/kelvane/version.h @ONLY)
target_include_directories(kelvane_core PUBLIC ${KELVANE_GENERATED_INCLUDE_DIR})
target_include_directories(kelvanectl_support PUBLIC ${KELVANE_GENERATED_INCLUDE_DIR})
target_include_directories(kelvane INTERFACE $<BUILD_INTERFACE:${KELVANE_GENERATED_INCLUDE_DIR}>)

if(WIN32)
  enable_language(RC)
  # kelvane_add_version_resource(TARGET FILE_NAME DESCRIPTION FILE_TYPE)
  function(kelvane_add_version_resource target file_name description file_type)
    set(KELVANE_RC_FILE_NAME ${file_name})
    set(KELVANE_RC_DESCRIPTION ${description})
    set(KELVANE_RC_FILE_TYPE ${file_type})
    get_filename_component(KELVANE_RC_INTERNAL_NAME ${file_name} NAME_WE)
    configure_file(${CMAKE_CURRENT_FUNCTION_LIST_DIR}/templates/versioninfo.rc.in
      ${PROJECT_BINARY_DIR}/versioninfo/${target}.rc @ONLY)
    target_sources(${target} PRIVATE ${PROJECT_BINARY_DIR}/versioninfo/${target}.rc)
  endfunction()
  kelvane_add_version_resource(kelvane kelvane.dll "${KELVANE_LIBRARY_DESCRIPTION}" VFT_DLL)
  kelvane_add_version_resource(kelvanectl kelvanectl.exe "${KELVANECTL_DESCRIPTION}" VFT_APP)
endif()

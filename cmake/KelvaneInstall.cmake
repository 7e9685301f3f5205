# The install tree and the packages built from it.
#
# Linux (cmake --install, and the Debian package with prefix /usr):
#   bin/kelvanectl
#   lib/kelvane/libkelvane.so                   private directory: hosts load it by path
#   lib/kelvane/common/config/Resource.ini      the message table, beside the library
#   include/kelvane/plugin.h, version.h
#   lib/pkgconfig/kelvane.pc                    relocatable (paths from its own place)
#   share/man/man1/kelvanectl.1.gz, share/doc/kelvane/
#   lib/systemd/system/kelvane-metrics.service, .timer   (disabled)
# kelvanectl looks for ../lib/kelvane/libkelvane.so next to itself first, so
# the installed program finds the installed library with no flags.
#
# Windows (the zip): everything in one directory, as the DLL is deployed:
#   kelvane.dll, common/config/Resource.ini, kelvanectl.exe, include/kelvane/,
#   doc/
include(GNUInstallDirs)

if(WIN32)
  set(KELVANE_INSTALL_BINDIR .)
  set(KELVANE_INSTALL_PLUGINDIR .)
  set(KELVANE_INSTALL_INCLUDEDIR include)
  set(KELVANE_INSTALL_DOCDIR doc)
else()
  set(KELVANE_INSTALL_BINDIR ${CMAKE_INSTALL_BINDIR})
  # Not the multiarch libdir: kelvanectl finds the library by this path
  # relative to its own directory.
  set(KELVANE_INSTALL_PLUGINDIR lib/kelvane)
  set(KELVANE_INSTALL_INCLUDEDIR ${CMAKE_INSTALL_INCLUDEDIR})
  set(KELVANE_INSTALL_DOCDIR ${CMAKE_INSTALL_DATADIR}/doc/kelvane)
endif()

install(TARGETS kelvane
  LIBRARY DESTINATION ${KELVANE_INSTALL_PLUGINDIR} COMPONENT runtime
  RUNTIME DESTINATION ${KELVANE_INSTALL_PLUGINDIR} COMPONENT runtime)
install(FILES ${PROJECT_SOURCE_DIR}/doc/Resource.ini
  DESTINATION ${KELVANE_INSTALL_PLUGINDIR}/common/config COMPONENT runtime)
install(TARGETS kelvanectl RUNTIME DESTINATION ${KELVANE_INSTALL_BINDIR} COMPONENT runtime)
install(FILES ${PROJECT_SOURCE_DIR}/include/kelvane/plugin.h ${KELVANE_GENERATED_INCLUDE_DIR}/kelvane/version.h
  DESTINATION ${KELVANE_INSTALL_INCLUDEDIR}/kelvane COMPONENT runtime)
install(FILES ${PROJECT_SOURCE_DIR}/doc/manual.md ${PROJECT_SOURCE_DIR}/examples/host.c
  DESTINATION ${KELVANE_INSTALL_DOCDIR} COMPONENT runtime)
if(NOT WIN32)
  configure_file(${CMAKE_CURRENT_LIST_DIR}/templates/kelvane.pc.in ${PROJECT_BINARY_DIR}/kelvane.pc @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/kelvane.pc DESTINATION lib/pkgconfig COMPONENT runtime)
  # Manual pages are installed compressed, as Debian's policy asks.
  configure_file(${PROJECT_SOURCE_DIR}/doc/kelvanectl.1.in ${PROJECT_BINARY_DIR}/man/kelvanectl.1 @ONLY)
  file(ARCHIVE_CREATE OUTPUT ${PROJECT_BINARY_DIR}/man/kelvanectl.1.gz PATHS ${PROJECT_BINARY_DIR}/man/kelvanectl.1
    FORMAT raw COMPRESSION GZip COMPRESSION_LEVEL 9)
  install(FILES ${PROJECT_BINARY_DIR}/man/kelvanectl.1.gz
    DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT runtime)
  # The metrics service and its 30-second timer, for node_exporter's
  # textfile collector; nothing enables them. The service names kelvanectl
  # by the prefix the tree is installed to, which is known at install time
  # only (the package installs to /usr, cmake --install anywhere).
  install(CODE "
    set(KELVANE_UNIT_BINDIR \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}\")
    configure_file(\"${CMAKE_CURRENT_LIST_DIR}/templates/kelvane-metrics.service.in\"
                   \"${PROJECT_BINARY_DIR}/systemd/kelvane-metrics.service\" @ONLY)
    file(INSTALL DESTINATION \"\${CMAKE_INSTALL_PREFIX}/lib/systemd/system\" TYPE FILE
         FILES \"${PROJECT_BINARY_DIR}/systemd/kelvane-metrics.service\"
               \"${CMAKE_CURRENT_LIST_DIR}/templates/kelvane-metrics.timer\")
    " COMPONENT runtime)
endif()

# Packages (scripts/package runs cpack): a Debian package on Linux, a zip
# of the directory above for Windows. Only as the top-level project: a
# parent project that installs kelvane with its own files packs them itself.
if(NOT PROJECT_IS_TOP_LEVEL)
  return()
endif()
set(CPACK_PACKAGE_NAME kelvane)
set(CPACK_PACKAGE_VENDOR "${KELVANE_COMPANY_NAME}")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "process-management plugin library and its command-line host")
set(CPACK_PACKAGE_CONTACT "The kelvane developers <kelvane@localhost>")
set(CPACK_STRIP_FILES ON)
if(WIN32)
  set(CPACK_GENERATOR ZIP)
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(CPACK_SYSTEM_NAME win64)
  else()
    set(CPACK_SYSTEM_NAME win32)
  endif()
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION admin)
  # The long description; CPack puts the summary line above it.
  set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "A host agent loads libkelvane.so and calls ZEV_RemoteInvoke with an XML\ncommand file: list processes and their modules, stop processes or process\ntrees, set priority classes. kelvanectl runs these commands from a shell,\nshowing the response as XML, a table or JSON.")
  # The run-time dependencies are read from the binaries by dpkg-shlibdeps,
  # so they follow whatever the library is linked against (a static or a
  # shared Xerces-C++).
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
endif()
include(CPack)

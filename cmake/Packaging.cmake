# Install layout and the Debian package: tools/package.sh builds it with cpack -G DEB.
include(GNUInstallDirs)

# The service and its per-board template come from one file, so they share every hardening line:
# the template takes its options from /etc/default/pontivo-NAME (which must exist) and keeps its
# state beside the other boards', in /var/lib/pontivo-NAME: under a dynamic user, a state folder
# inside another unit's fails to start (238/STATE_DIRECTORY).
set(PONTIVO_UNIT_BOARD "a board")
set(PONTIVO_UNIT_OPTIONS "-${CMAKE_INSTALL_FULL_SYSCONFDIR}/default/pontivo")
set(PONTIVO_UNIT_STATE pontivo)
configure_file(${PROJECT_SOURCE_DIR}/packaging/pontivo.service.in ${PROJECT_BINARY_DIR}/pontivo.service @ONLY)
set(PONTIVO_UNIT_BOARD "board %i")
set(PONTIVO_UNIT_OPTIONS "${CMAKE_INSTALL_FULL_SYSCONFDIR}/default/pontivo-%i")
set(PONTIVO_UNIT_STATE pontivo-%i)
configure_file(${PROJECT_SOURCE_DIR}/packaging/pontivo.service.in ${PROJECT_BINARY_DIR}/pontivo@.service @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/pontivo.service ${PROJECT_BINARY_DIR}/pontivo@.service DESTINATION lib/systemd/system)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/pontivo.default
        DESTINATION ${CMAKE_INSTALL_FULL_SYSCONFDIR}/default RENAME pontivo)

set(CPACK_PACKAGE_NAME pontivo)
set(CPACK_PACKAGE_VENDOR "Pontivo")
set(CPACK_PACKAGE_CONTACT "Pontivo developers <pontivo@example.com>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Bridges a board on a serial port and HTTP clients through named variables")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT) # pontivo_2.0-1_<arch>.deb
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The defaults file is the user's to edit: an upgrade keeps their version, a purge removes it.
file(WRITE ${PROJECT_BINARY_DIR}/conffiles "${CMAKE_INSTALL_FULL_SYSCONFDIR}/default/pontivo\n")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${PROJECT_BINARY_DIR}/conffiles
    ${PROJECT_SOURCE_DIR}/packaging/postinst ${PROJECT_SOURCE_DIR}/packaging/prerm
    ${PROJECT_SOURCE_DIR}/packaging/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
include(CPack)

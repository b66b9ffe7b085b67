# Installation on Linux and the Debian package.
#
# Every folder is relative to the prefix given when installing (`cmake --install <build> --prefix
# <p>`, CMAKE_INSTALL_PREFIX otherwise), so that an installation writes below that prefix only
# (and below DESTDIR, as usual). What names installed paths (the systemd unit, the links) is
# written when installing, from the prefix of that installation:
#   <p>/libexec/zelmusb/   the program, zelmusb.sys, sc (and the name sc.exe), reg, usbsim, link-settings,
#                          uninstall-driver
#   <p>/libexec/zelmusb/suite/   the suite's menu and monitor for Linux (halvarmenu.exe, halvarmon.exe)
#                          and the menu's notification helper, zelmusb-notify
#   <p>/bin/zelmarusb      a link to the program
#   <p>/lib/systemd/system/zelmarusb.service, zelmarusb-monitor.service, zelmarusb-menu.service
#   <settings>/zelmarusb/cfg.json   the administrator's settings: /etc for the prefix /usr (the
#                          package), <p>/etc otherwise; an existing file is never replaced
#   <p>/share/doc/zelmarusb/copyright, changelog.gz
#   <p>/share/man/man8/zelmarusb.8.gz
include(GNUInstallDirs)

set(ZELMUSB_INSTALL_PROGRAMDIR ${CMAKE_INSTALL_LIBEXECDIR}/zelmusb CACHE STRING
    "where the programs go, relative to the prefix")
set(ZELMUSB_INSTALL_UNITDIR lib/systemd/system CACHE STRING
    "where zelmarusb.service goes, relative to the prefix")
foreach(dir ZELMUSB_INSTALL_PROGRAMDIR ZELMUSB_INSTALL_UNITDIR CMAKE_INSTALL_BINDIR CMAKE_INSTALL_DOCDIR
            CMAKE_INSTALL_MANDIR)
  if(IS_ABSOLUTE "${${dir}}")
    message(FATAL_ERROR "${dir} (${${dir}}) must be relative to the install prefix")
  endif()
endforeach()

install(TARGETS zelmarusb zelmusbctl linux_driver sc reg usbsim RUNTIME DESTINATION ${ZELMUSB_INSTALL_PROGRAMDIR})
install(TARGETS peer_menu peer_monitor zelmusb_notify RUNTIME DESTINATION ${ZELMUSB_INSTALL_PROGRAMDIR}/suite)
install(PROGRAMS ${CMAKE_CURRENT_LIST_DIR}/link-settings ${CMAKE_CURRENT_LIST_DIR}/uninstall-driver DESTINATION ${ZELMUSB_INSTALL_PROGRAMDIR})
# Debian's documentation folder holds the copyright and the changelog (gzip -9n: no time stamp).
file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/packaging)
execute_process(COMMAND gzip -9nc ${CMAKE_CURRENT_LIST_DIR}/changelog
                OUTPUT_FILE ${CMAKE_BINARY_DIR}/packaging/changelog.gz COMMAND_ERROR_IS_FATAL ANY)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/changelog)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/copyright ${CMAKE_BINARY_DIR}/packaging/changelog.gz
        DESTINATION ${CMAKE_INSTALL_DOCDIR})
execute_process(COMMAND gzip -9nc ${CMAKE_CURRENT_LIST_DIR}/zelmarusb.8
                OUTPUT_FILE ${CMAKE_BINARY_DIR}/packaging/zelmarusb.8.gz COMMAND_ERROR_IS_FATAL ANY)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/zelmarusb.8)
install(FILES ${CMAKE_BINARY_DIR}/packaging/zelmarusb.8.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man8)
install(CODE "
  set(ZELMUSB_PACKAGING_DIR \"${CMAKE_CURRENT_LIST_DIR}\")
  set(ZELMUSB_WORK_DIR \"${CMAKE_BINARY_DIR}/packaging\")
  set(ZELMUSB_INSTALL_PROGRAMDIR \"${ZELMUSB_INSTALL_PROGRAMDIR}\")
  set(ZELMUSB_INSTALL_UNITDIR \"${ZELMUSB_INSTALL_UNITDIR}\")
  set(ZELMUSB_INSTALL_BINDIR \"${CMAKE_INSTALL_BINDIR}\")
  set(ZELMUSB_CTL_WRAPPER \"${PROJECT_SOURCE_DIR}/programs/zelmusbctl/zelmusbctl.in\")
  include(\"${CMAKE_CURRENT_LIST_DIR}/install-time.cmake\")")

# --- the Debian package: `make package` (a Release build without the tests, then cpack -G DEB) ---
set(ZELMUSB_VERSION 0.1.0)
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME zelmarusb)
set(CPACK_PACKAGE_VERSION ${ZELMUSB_VERSION})
set(CPACK_PACKAGE_CONTACT "zelmarusb developers <zelmarusb@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "USB device control: new USB devices admitted by rules")
string(CONCAT CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "zelmarusb holds every newly plugged USB device through the kernel's USB\n"
    "authorization until its rules (or the device's user) decide it, records and\n"
    "reports each device, and ejects unknown drives right after boot.\n\n"
    "The service is installed disabled, with protection off in\n"
    "/etc/zelmarusb/cfg.json until the administrator turns it on.")
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_STRIP_FILES ON)
# Installed with DESTDIR and the real prefix, so that what is written at install time (the unit's
# paths, the links, the settings under /etc) names the installed system, not the staging folder.
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
file(WRITE ${CMAKE_BINARY_DIR}/packaging/conffiles "/etc/zelmarusb/cfg.json\n")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${CMAKE_BINARY_DIR}/packaging/conffiles
    ${CMAKE_CURRENT_LIST_DIR}/debian/postinst
    ${CMAKE_CURRENT_LIST_DIR}/debian/prerm
    ${CMAKE_CURRENT_LIST_DIR}/debian/postrm)
include(CPack)

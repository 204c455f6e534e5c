# Installation ("cmake --install") and the Debian package ("cpack", or the "package" target).
#
#   <prefix>/lib/wendrel/wendrel                 the executable
#   <prefix>/sbin/wendrel                        a link to it
#   <prefix>/lib/wendrel/log4j.properties        a link to /etc/wendrel/log4j.properties: the
#                                                program looks beside its resolved path
#   /etc/wendrel/wendrel.conf, log4j.properties  the program reads /etc whatever the prefix
#   <prefix>/share/man/man8, man5                wendrel(8), wendrel.conf(5), from scdoc sources
#   /lib/systemd/system/wendrel.service          the package only: without it, "wendrel
#                                                -Service" writes the unit to /etc/systemd/system
include(GNUInstallDirs)

# A private directory, as Debian keeps a program's own files: lib/<package>, never multiarch.
set(WENDREL_PKGLIBDIR lib/wendrel)
set(WENDREL_CONFDIR /etc/wendrel)
set(WENDREL_DEB_MAINTAINER "Korvane <wendrel@korvane.example>")
set(WENDREL_DEB_RELEASE 1)
set(WENDREL_DEB_VERSION ${PROJECT_VERSION}-${WENDREL_DEB_RELEASE})
set(pkg ${PROJECT_SOURCE_DIR}/packaging)
set(out ${PROJECT_BINARY_DIR}/packaging)
file(MAKE_DIRECTORY ${out}/links)

install(TARGETS wendrel RUNTIME DESTINATION ${WENDREL_PKGLIBDIR})
install(FILES ${pkg}/wendrel.conf ${pkg}/log4j.properties DESTINATION ${WENDREL_CONFDIR})

# Links are made in the build tree and installed as they are (install(FILES) keeps a link).
file(RELATIVE_PATH exe_from_sbin /${CMAKE_INSTALL_SBINDIR} /${WENDREL_PKGLIBDIR}/wendrel)
file(CREATE_LINK ${exe_from_sbin} ${out}/links/wendrel SYMBOLIC)
file(CREATE_LINK ${WENDREL_CONFDIR}/log4j.properties ${out}/links/log4j.properties SYMBOLIC)
install(FILES ${out}/links/wendrel DESTINATION ${CMAKE_INSTALL_SBINDIR})
install(FILES ${out}/links/log4j.properties DESTINATION ${WENDREL_PKGLIBDIR})

# The unit: the one template that "wendrel -Service" fills in with its own path, filled in
# here with the package's executable and put in systemd's unit directory. Only the package
# ships it (component "deb"): a plain "cmake --install" leaves the service to -Service.
pkg_get_variable(WENDREL_UNITDIR systemd systemdsystemunitdir)
if(NOT WENDREL_UNITDIR)
  set(WENDREL_UNITDIR /lib/systemd/system)
endif()
set(EXEC_START "\"/usr/${WENDREL_PKGLIBDIR}/wendrel\"")
configure_file(${pkg}/wendrel.service ${out}/wendrel.service @ONLY)
install(FILES ${out}/wendrel.service DESTINATION ${WENDREL_UNITDIR} COMPONENT deb EXCLUDE_FROM_ALL)

# Manual pages: scdoc to roff, compressed without a time stamp (as Debian wants them).
# Dated by the package's changelog entry, so a rebuild gives the same pages.
find_program(SCDOC scdoc)
set(date 1796558400)
if(SCDOC)
  set(pages "")
  foreach(page wendrel.8 wendrel.conf.5)
    string(REGEX MATCH "[0-9]$" section ${page})
    set(VERSION ${PROJECT_VERSION})
    configure_file(${pkg}/man/${page}.scd ${out}/man/${page}.scd @ONLY)
    add_custom_command(OUTPUT ${out}/man/${page}.gz
      COMMAND ${CMAKE_COMMAND} -E env SOURCE_DATE_EPOCH=${date}
              sh -c "\"$0\" <\"$1\" >\"$2\"" ${SCDOC} ${page}.scd ${page}
      COMMAND gzip -9nf ${page}
      DEPENDS ${out}/man/${page}.scd
      WORKING_DIRECTORY ${out}/man
      COMMENT "Manual page ${page}"
      VERBATIM)
    install(FILES ${out}/man/${page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section})
    list(APPEND pages ${out}/man/${page}.gz)
  endforeach()
  add_custom_target(wendrel_man ALL DEPENDS ${pages})
else()
  message(WARNING "scdoc not found: no manual pages (scripts/install-deps installs it)")
endif()

# Debian's documentation files: copyright, and the changelog compressed like the pages.
configure_file(${pkg}/deb/changelog.in ${out}/changelog.Debian @ONLY)
add_custom_command(OUTPUT ${out}/changelog.Debian.gz
  COMMAND gzip -9nf -k changelog.Debian
  DEPENDS ${out}/changelog.Debian
  WORKING_DIRECTORY ${out}
  VERBATIM)
add_custom_target(wendrel_changelog ALL DEPENDS ${out}/changelog.Debian.gz)
install(FILES ${pkg}/deb/copyright ${out}/changelog.Debian.gz DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(FILES ${pkg}/deb/lintian-overrides DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides
        RENAME wendrel)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME wendrel)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT ${WENDREL_DEB_MAINTAINER})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "traffic-sampling agent that exports sFlow")
set(CPACK_PACKAGE_DESCRIPTION
    "Wendrel captures the packets of every local Ethernet interface, samples one\n\
in N and sends the first 128 bytes of each sampled packet to every sFlow\n\
collector it is given, as sFlow version 5 flow samples. It runs as a\n\
hardened systemd service, as an unprivileged user holding only CAP_NET_RAW.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE ${WENDREL_DEB_RELEASE})
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${pkg}/deb/conffiles ${pkg}/deb/postinst ${pkg}/deb/prerm ${pkg}/deb/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# One package of everything a full install gives, and the unit.
set(CPACK_INSTALL_CMAKE_PROJECTS
    "${PROJECT_BINARY_DIR};${PROJECT_NAME};ALL;/;${PROJECT_BINARY_DIR};${PROJECT_NAME};deb;/")
include(CPack)

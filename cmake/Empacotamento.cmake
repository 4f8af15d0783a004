# Install rules and the Debian package.
#
#   cmake --install build [--prefix DIR]   installs under DIR (default /usr/local)
#   cd build && cpack -G DEB                 builds corvane_<version>-1_<arch>.deb
#
# What goes where, under the prefix:
#   bin/CorvaneV3                      the recorder
#   <libdir>/libTavorin.so.1.0.0       the video check library (SONAME libTavorin.so.1)
#   include/Tavorin.h                  its header
#   share/man/man1/CorvaneV3.1.gz      the manual page
#   lib/corvane/corvane-gravar         the continuous-recording wrapper
#   lib/systemd/system/corvane.service, corvane@.service
#   share/doc/corvane/README.md
# and the configuration in <sysconfdir>/corvane/corvane.conf, where sysconfdir
# is /etc for the prefix /usr (so in the package) and <prefix>/etc otherwise.
# The units name the wrapper and the configuration by the prefix in force when
# they are installed, so they are written at install time.

include(GNUInstallDirs)

set(CORVANE_PACOTE corvane)
set(CORVANE_UNIDADES_SYSTEMD "lib/systemd/system" CACHE STRING
    "Folder of the systemd units, relative to the prefix")
set(CORVANE_PASTA_AUXILIAR "lib/corvane" CACHE STRING
    "Folder of the continuous-recording wrapper, relative to the prefix")

install(TARGETS CorvaneV3 RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(TARGETS Tavorin LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/Tavorin/Tavorin.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(PROGRAMS ${CMAKE_CURRENT_SOURCE_DIR}/packaging/corvane-gravar
        DESTINATION ${CORVANE_PASTA_AUXILIAR})
install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/README.md
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${CORVANE_PACOTE})

# Manual page, compressed the way Debian keeps them (gzip -9n: no name, no
# time stamp, so the package is reproducible).
set(_pagina ${CMAKE_CURRENT_SOURCE_DIR}/docs/CorvaneV3.1)
find_program(CORVANE_GZIP gzip)
if(CORVANE_GZIP)
  set(_pagina_gz ${CMAKE_CURRENT_BINARY_DIR}/CorvaneV3.1.gz)
  add_custom_command(OUTPUT ${_pagina_gz}
    COMMAND ${CORVANE_GZIP} -9n -c ${_pagina} > ${_pagina_gz}
    DEPENDS ${_pagina}
    COMMENT "Compressing the manual page"
    VERBATIM)
  add_custom_target(pagina_de_manual ALL DEPENDS ${_pagina_gz})
  install(FILES ${_pagina_gz} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
else()
  install(FILES ${_pagina} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endif()

# Units and configuration, placed by the prefix used at install time.
set(_fontes_pacote ${CMAKE_CURRENT_SOURCE_DIR}/packaging)
set(_temporaria ${CMAKE_CURRENT_BINARY_DIR}/packaging)
install(CODE "
  set(_prefixo \"\${CMAKE_INSTALL_PREFIX}\")
  if(_prefixo STREQUAL \"/usr\")
    set(_etc /etc)
  elseif(_prefixo MATCHES \"^/opt/\")
    set(_etc \"/etc\${_prefixo}\")
  else()
    set(_etc \"\${_prefixo}/etc\")
  endif()
  set(CORVANE_GRAVAR \"\${_prefixo}/${CORVANE_PASTA_AUXILIAR}/corvane-gravar\")
  set(CORVANE_CONF_DIR \"\${_etc}/corvane\")
  set(CORVANE_CONF \"\${_etc}/corvane/corvane.conf\")
  foreach(_unidade corvane.service corvane@.service)
    configure_file(\"${_fontes_pacote}/systemd/\${_unidade}.in\"
                   \"${_temporaria}/\${_unidade}\" @ONLY)
    file(INSTALL \"${_temporaria}/\${_unidade}\"
         DESTINATION \"\${_prefixo}/${CORVANE_UNIDADES_SYSTEMD}\"
         FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
  endforeach()
  # Settings already there were edited by someone: they stay.
  if(EXISTS \"\$ENV{DESTDIR}\${_etc}/corvane/corvane.conf\")
    message(STATUS \"Keeping: \$ENV{DESTDIR}\${_etc}/corvane/corvane.conf\")
  else()
    file(INSTALL \"${_fontes_pacote}/corvane.conf\"
         DESTINATION \"\${_etc}/corvane\"
         FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
  endif()
")

# The Debian package: `cpack -G DEB` in the build folder.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ${CORVANE_PACOTE})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "CorvaneV3")
set(CPACK_PACKAGE_CONTACT "CorvaneV3 <corvane@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "multi-camera H.264 recorder with a timestamp band")
set(CPACK_PACKAGE_DESCRIPTION
  "CorvaneV3 records several cameras at once (stream addresses, V4L2 devices,\n"
  "files) into one H.264 file per camera per minute, with a band carrying a\n"
  "label and the local date and time. The corvane service records\n"
  "continuously as an unprivileged user into /var/lib/corvane. Also ships\n"
  "libTavorin, whose ValidarVideo tells whether a video file can be opened.")
string(REPLACE ";" "" CPACK_PACKAGE_DESCRIPTION "${CPACK_PACKAGE_DESCRIPTION}")
# Stage with DESTDIR and the real prefix, so that /etc stays /etc and the
# units name /usr paths.
set(CPACK_SET_DESTDIR ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_SECTION video)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Run-time libraries from dpkg-shlibdeps (dpkg-dev); adduser for postinst.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "adduser")
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
  ${_fontes_pacote}/debian/postinst
  ${_fontes_pacote}/debian/prerm
  ${_fontes_pacote}/debian/postrm
  ${_fontes_pacote}/debian/conffiles
  ${_fontes_pacote}/debian/triggers)
include(CPack)

# Installation layout and the Debian package.
include(GNUInstallDirs)

install(TARGETS orvplayer orvplayer-check RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

# Manual pages and the changelog go in compressed, as Debian wants them.
set(orv_gzipped)
foreach(source man/orvplayer.1 man/orvplayer-check.1 packaging/changelog)
  get_filename_component(name ${source} NAME)
  set(out ${CMAKE_BINARY_DIR}/gz/${name}.gz)
  add_custom_command(OUTPUT ${out}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/gz
    COMMAND gzip -9n -c ${CMAKE_SOURCE_DIR}/${source} > ${out}
    DEPENDS ${CMAKE_SOURCE_DIR}/${source} VERBATIM)
  list(APPEND orv_gzipped ${out})
endforeach()
add_custom_target(orv_docs ALL DEPENDS ${orv_gzipped})
install(FILES ${CMAKE_BINARY_DIR}/gz/orvplayer.1.gz ${CMAKE_BINARY_DIR}/gz/orvplayer-check.1.gz
  DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${CMAKE_BINARY_DIR}/gz/changelog.gz packaging/copyright
  DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(FILES examples/hello.txt examples/mistakes.txt DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)

# The unit template, installed but not enabled, and its settings.
set(ORV_SYSTEMD_UNIT_DIR "lib/systemd/system" CACHE STRING
    "Where the systemd unit goes (relative: under the install prefix)")
configure_file(packaging/orvplayer@.service.in ${CMAKE_BINARY_DIR}/orvplayer@.service @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/orvplayer@.service DESTINATION ${ORV_SYSTEMD_UNIT_DIR})
install(FILES packaging/orvplayer.default DESTINATION /etc/default RENAME orvplayer)
# The unit's device wait, and the serial drivers it lets the unit allow.
configure_file(packaging/wait-for-device.in ${CMAKE_BINARY_DIR}/wait-for-device @ONLY)
install(PROGRAMS ${CMAKE_BINARY_DIR}/wait-for-device
  DESTINATION ${CMAKE_INSTALL_LIBEXECDIR}/orvplayer)
install(FILES packaging/modules-load.conf DESTINATION lib/modules-load.d RENAME orvplayer.conf)

# cpack builds orvplayer_VERSION_ARCH.deb for the build's architecture.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME orvplayer)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "cue player for show devices on a USB serial port")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION [[orvplayer plays a show held in a text file of timed lines (a
hexadecimal millisecond offset, a colon, the codes) and writes each line's
codes, byte for byte, to a device on a USB serial port at that line's
moment, counted from the first line. It is made for lights, props and
effects driven by a microcontroller on USB, on single-board computers.
.
orvplayer-check shows a cue file as the player will play it and warns
about every line the player passes over or treats unexpectedly.
.
A systemd unit template, orvplayer@.service, plays a show at boot.]])
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "The orvplayer developers <orvplayer@example.org>")
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
set(CPACK_STRIP_FILES TRUE)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_SOURCE_DIR}/packaging/conffiles)
if(CMAKE_CROSSCOMPILING)
  # dpkg-shlibdeps cannot see the target's libraries in a cross build.
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE armhf)
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6 (>= 2.34), libgcc-s1 (>= 3.5), libstdc++6 (>= 11)")
else()
  execute_process(COMMAND dpkg --print-architecture
    OUTPUT_VARIABLE CPACK_DEBIAN_PACKAGE_ARCHITECTURE OUTPUT_STRIP_TRAILING_WHITESPACE)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
endif()
include(CPack)

# Installation layout, shared by `cmake --install` and the Debian package
# (debian/rules, through debhelper's CMake build system).
include(GNUInstallDirs)

install(TARGETS orvplayer orvplayer-check RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

# The Debian package gets the changelog and copyright from
# dh_installchangelogs and dh_installdocs instead.
option(ORV_INSTALL_CHANGELOG_AND_COPYRIGHT "Install the changelog and copyright into the doc directory" ON)

# Manual pages and the changelog go in compressed, as Debian wants them.
set(orv_gzip_sources man/orvplayer.1 man/orvplayer-check.1)
if(ORV_INSTALL_CHANGELOG_AND_COPYRIGHT)
  list(APPEND orv_gzip_sources debian/changelog)
endif()
set(orv_gzipped)
foreach(source ${orv_gzip_sources})
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
if(ORV_INSTALL_CHANGELOG_AND_COPYRIGHT)
  install(FILES ${CMAKE_BINARY_DIR}/gz/changelog.gz debian/copyright
    DESTINATION ${CMAKE_INSTALL_DOCDIR})
endif()
install(FILES examples/hello.txt examples/mistakes.txt examples/blink.txt DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)
# A drop-in for the unit that plays the shows at a real-time priority.
install(FILES packaging/realtime.conf DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)

# The unit template, installed but not enabled, the target that groups its
# instances, and their settings.
set(ORV_SYSTEMD_UNIT_DIR "lib/systemd/system" CACHE STRING
    "Where the systemd units go (relative: under the install prefix)")
configure_file(packaging/orvplayer@.service.in ${CMAKE_BINARY_DIR}/orvplayer@.service @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/orvplayer@.service packaging/orvplayer.target
  DESTINATION ${ORV_SYSTEMD_UNIT_DIR})
install(FILES packaging/orvplayer.default DESTINATION /etc/default RENAME orvplayer)
# The unit's command line (made from the settings), its wait for the
# device, and the serial drivers it lets the unit allow.
configure_file(packaging/play-show.in ${CMAKE_BINARY_DIR}/play-show @ONLY)
install(PROGRAMS ${CMAKE_BINARY_DIR}/play-show DESTINATION ${CMAKE_INSTALL_LIBEXECDIR}/orvplayer)
install(TARGETS wait-for-device RUNTIME DESTINATION ${CMAKE_INSTALL_LIBEXECDIR}/orvplayer)
install(FILES packaging/modules-load.conf DESTINATION lib/modules-load.d RENAME orvplayer.conf)

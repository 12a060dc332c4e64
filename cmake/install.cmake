# Installation and the Debian package: `cmake --install build` puts snapwright where an
# administrator expects a system tool; `cpack -G DEB` (run in a build configured with
# -DCMAKE_INSTALL_PREFIX=/usr) packs the same files with maintainer scripts.
include(GNUInstallDirs)

set(SNAPWRIGHT_SNAPPER_PLUGIN_DIR "/usr/lib/snapper/plugins"
    CACHE PATH "Snapper's plugin directory, where the link 10-snapwright goes")
set(SNAPWRIGHT_SYSTEMD_UNIT_DIR "/lib/systemd/system"
    CACHE PATH "Directory of the system's packaged systemd units")

set(SNAPWRIGHT_PACKAGING_DIR ${CMAKE_SOURCE_DIR}/packaging)
set(SNAPWRIGHT_STAGE_DIR ${CMAKE_BINARY_DIR}/packaging)
set(SNAPWRIGHT_INSTALLED_BINARY ${CMAKE_INSTALL_FULL_BINDIR}/snapwright)

install(TARGETS snapwright RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

# Snapper starts every executable in its plugin directory; started under the name 10-snapwright
# the program acts as the plugin. A relative link keeps working inside a DESTDIR or a chroot.
file(RELATIVE_PATH snapwright_plugin_target ${SNAPWRIGHT_SNAPPER_PLUGIN_DIR}
     ${SNAPWRIGHT_INSTALLED_BINARY})
file(MAKE_DIRECTORY ${SNAPWRIGHT_STAGE_DIR})
file(CREATE_LINK ${snapwright_plugin_target} ${SNAPWRIGHT_STAGE_DIR}/10-snapwright SYMBOLIC)
install(FILES ${SNAPWRIGHT_STAGE_DIR}/10-snapwright DESTINATION ${SNAPWRIGHT_SNAPPER_PLUGIN_DIR})

configure_file(${SNAPWRIGHT_PACKAGING_DIR}/snapwright-watch.service.in
               ${SNAPWRIGHT_STAGE_DIR}/snapwright-watch.service @ONLY)
install(FILES ${SNAPWRIGHT_STAGE_DIR}/snapwright-watch.service
        DESTINATION ${SNAPWRIGHT_SYSTEMD_UNIT_DIR})

install(FILES ${SNAPWRIGHT_PACKAGING_DIR}/bash-completion/snapwright
        DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)
install(FILES ${SNAPWRIGHT_PACKAGING_DIR}/snapwright.conf
        DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)

# Manual pages, compressed as Debian policy wants them (no timestamp, so builds are repeatable).
foreach(page snapwright.8 snapwright.conf.5)
  string(REGEX REPLACE ".*\\." "" section ${page})
  add_custom_command(
    OUTPUT ${SNAPWRIGHT_STAGE_DIR}/${page}.gz
    COMMAND gzip -9n -c ${CMAKE_SOURCE_DIR}/doc/${page} > ${SNAPWRIGHT_STAGE_DIR}/${page}.gz
    DEPENDS ${CMAKE_SOURCE_DIR}/doc/${page}
    VERBATIM)
  list(APPEND snapwright_man_pages ${SNAPWRIGHT_STAGE_DIR}/${page}.gz)
  install(FILES ${SNAPWRIGHT_STAGE_DIR}/${page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section})
endforeach()
add_custom_target(snapwright_man_pages ALL DEPENDS ${snapwright_man_pages})

# ---- Debian package ----------------------------------------------------------------------------
# The copyright file and the changelog that Debian policy asks of every package.
add_custom_command(
  OUTPUT ${SNAPWRIGHT_STAGE_DIR}/changelog.gz
  COMMAND gzip -9n -c ${SNAPWRIGHT_PACKAGING_DIR}/debian/changelog
          > ${SNAPWRIGHT_STAGE_DIR}/changelog.gz
  DEPENDS ${SNAPWRIGHT_PACKAGING_DIR}/debian/changelog
  VERBATIM)
add_custom_target(snapwright_package_docs ALL DEPENDS ${SNAPWRIGHT_STAGE_DIR}/changelog.gz)
install(FILES ${SNAPWRIGHT_STAGE_DIR}/changelog.gz ${SNAPWRIGHT_PACKAGING_DIR}/debian/copyright
        DESTINATION ${CMAKE_INSTALL_DOCDIR})

set(CPACK_PACKAGE_NAME snapwright)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(SNAPWRIGHT_PACKAGE_MAINTAINER "snapwright developers <snapwright@example.org>"
    CACHE STRING "Maintainer field of the Debian package")
set(CPACK_PACKAGE_CONTACT "${SNAPWRIGHT_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "bootable Btrfs root snapshots for systemd-boot")
set(CPACK_PACKAGE_DESCRIPTION
    "snapwright archives the kernel, initramfs, microcode and device tree that\n"
    "the system boots with for every snapshot of a Btrfs root filesystem (plain\n"
    "read-only snapshots or Snapper) and deploys a bounded selection of those\n"
    "snapshots to the boot partition as generated systemd-boot entries that boot\n"
    "the snapshot's subvolume. It runs by hand, as a Snapper plugin or as a watch\n"
    "service, and only ever touches the entries it generated.")
string(REPLACE ";" "" CPACK_PACKAGE_DESCRIPTION "${CPACK_PACKAGE_DESCRIPTION}")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# findmnt comes with util-linux, mount and umount with mount.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "btrfs-progs, util-linux (>= 2.38), mount")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "systemd-boot, snapper")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "sudo | doas")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${SNAPWRIGHT_PACKAGING_DIR}/debian/postinst ${SNAPWRIGHT_PACKAGING_DIR}/debian/prerm
    ${SNAPWRIGHT_PACKAGING_DIR}/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)

# Installation and the Debian package: `cmake --install build` puts snapwright where an
# administrator expects a system tool; `cpack -G DEB` packs the same files, under /usr, with
# maintainer scripts.
#
# The plugin link and the unit name the installed program by its absolute path. They are made
# when the files are installed, from the prefix of that installation, not from the prefix the
# tree was configured with: CPack installs the package's files under its own prefix (/usr), so a
# tree configured for /usr/local still makes a package whose link and unit find /usr/bin/snapwright.
include(GNUInstallDirs)

set(SNAPWRIGHT_SNAPPER_PLUGIN_DIR "/usr/lib/snapper/plugins"
    CACHE PATH "Snapper's plugin directory, where the link 10-snapwright goes")
set(SNAPWRIGHT_SYSTEMD_UNIT_DIR "lib/systemd/system"
    CACHE STRING "Directory of the packaged systemd units; relative to the installation prefix")
# Trees configured before the unit followed the prefix hold the fixed directory of then, which
# merged-/usr systems know only as an alias of /usr/lib (and dpkg records the alias).
if(SNAPWRIGHT_SYSTEMD_UNIT_DIR STREQUAL "/lib/systemd/system")
  set_property(CACHE SNAPWRIGHT_SYSTEMD_UNIT_DIR PROPERTY VALUE "lib/systemd/system")
  set_property(CACHE SNAPWRIGHT_SYSTEMD_UNIT_DIR PROPERTY TYPE STRING)
  set(SNAPWRIGHT_SYSTEMD_UNIT_DIR "lib/systemd/system")
endif()

set(SNAPWRIGHT_PACKAGING_DIR ${PROJECT_SOURCE_DIR}/packaging)
set(SNAPWRIGHT_STAGE_DIR ${PROJECT_BINARY_DIR}/packaging)

install(TARGETS snapwright RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(
  CODE "set(snapwright_bindir [[${CMAKE_INSTALL_BINDIR}]])
        set(snapwright_plugin_dir [[${SNAPWRIGHT_SNAPPER_PLUGIN_DIR}]])
        set(snapwright_unit_dir [[${SNAPWRIGHT_SYSTEMD_UNIT_DIR}]])
        set(snapwright_unit_template [[${SNAPWRIGHT_PACKAGING_DIR}/snapwright-watch.service.in]])
        set(snapwright_stage_dir [[${SNAPWRIGHT_STAGE_DIR}/install]])")
install(SCRIPT ${PROJECT_SOURCE_DIR}/cmake/install_paths.cmake)

install(FILES ${SNAPWRIGHT_PACKAGING_DIR}/bash-completion/snapwright
        DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)
install(FILES ${SNAPWRIGHT_PACKAGING_DIR}/snapwright.conf
        DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)

# Manual pages, compressed as Debian policy wants them (no timestamp, so builds are repeatable).
foreach(page snapwright.8 snapwright.conf.5)
  string(REGEX REPLACE ".*\\." "" section ${page})
  add_custom_command(
    OUTPUT ${SNAPWRIGHT_STAGE_DIR}/${page}.gz
    COMMAND gzip -9n -c ${PROJECT_SOURCE_DIR}/doc/${page} > ${SNAPWRIGHT_STAGE_DIR}/${page}.gz
    DEPENDS ${PROJECT_SOURCE_DIR}/doc/${page}
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

# Install rules and Debian packages for pelorin. Included by the root
# CMakeLists.txt; `make package` (packaging/package.mk) configures a Release
# build with CMAKE_INSTALL_PREFIX=/usr and runs `cpack -G DEB` on it.
#
# Components: `core` becomes the package pelorin (daemon, pelorinctl, manual
# pages, systemd unit, example file); `desktop` becomes pelorin-desktop (the
# tray icon module, which needs Qt) once the target pelorin_desktop exists.

include(GNUInstallDirs)

set(PELORIN_MAINTAINER
    "pelorin maintainers <maintainers@users.noreply.c-seed-1466de26.example>"
    CACHE STRING "Maintainer field of the Debian packages")
set(PELORIN_DEB_RELEASE 1 CACHE STRING "Debian revision of the packages")
set(PELORIN_DEB_VERSION "${PROJECT_VERSION}-${PELORIN_DEB_RELEASE}")

# Debian 12 ships units in /lib/systemd/system (systemd.pc says where). Any
# other prefix keeps the unit under the prefix, so a trial install stays put.
if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  set(_pelorin_unit_dir /lib/systemd/system)
  find_package(PkgConfig QUIET)
  if(PkgConfig_FOUND)
    pkg_get_variable(_pelorin_pc_unit_dir systemd systemdsystemunitdir)
    if(_pelorin_pc_unit_dir)
      set(_pelorin_unit_dir "${_pelorin_pc_unit_dir}")
    endif()
  endif()
else()
  set(_pelorin_unit_dir lib/systemd/system)
endif()
set(PELORIN_SYSTEMD_UNIT_DIR "${_pelorin_unit_dir}"
    CACHE STRING "Where pelorin.service is installed (absolute, or relative to the prefix)")

set(_pelorin_pkg_dir "${PROJECT_SOURCE_DIR}/packaging")
set(_pelorin_gen_dir "${PROJECT_BINARY_DIR}/packaging")
file(MAKE_DIRECTORY "${_pelorin_gen_dir}")
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

# --- Programs -----------------------------------------------------------------

install(TARGETS pelorin RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR} COMPONENT core)
if(TARGET pelorinctl)
  install(TARGETS pelorinctl RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT core)
endif()

# --- Manual pages: scdoc source -> roff -> gzip -9n (as Debian wants) ---------

find_program(PELORIN_SCDOC scdoc)
find_program(PELORIN_GZIP gzip)
if(PELORIN_SCDOC AND PELORIN_GZIP)
  set(_pelorin_man_pages)
  foreach(_page pelorin.8 pelorinctl.1)
    set(_src "${_pelorin_pkg_dir}/${_page}.scd")
    set(_roff "${_pelorin_gen_dir}/${_page}")
    add_custom_command(
      OUTPUT "${_roff}" "${_roff}.gz"
      COMMAND sh -c "\"$1\" < \"$2\" > \"$3\" && \"$4\" -9n -c \"$3\" > \"$3.gz\""
              sh "${PELORIN_SCDOC}" "${_src}" "${_roff}" "${PELORIN_GZIP}"
      DEPENDS "${_src}"
      COMMENT "Generating manual page ${_page}"
      VERBATIM)
    list(APPEND _pelorin_man_pages "${_roff}.gz")
    string(REGEX REPLACE "^.*\\." "" _section "${_page}")
    if(_page STREQUAL "pelorinctl.1" AND NOT TARGET pelorinctl)
      continue()  # no page for a program that is not built
    endif()
    install(FILES "${_roff}.gz"
            DESTINATION ${CMAKE_INSTALL_MANDIR}/man${_section} COMPONENT core)
  endforeach()
  add_custom_target(pelorin_man_pages ALL DEPENDS ${_pelorin_man_pages})
else()
  message(STATUS "scdoc or gzip not found: manual pages are neither built nor installed")
endif()

# --- Service, example file, copyright, changelog ------------------------------

install(FILES "${_pelorin_pkg_dir}/pelorin.service"
        DESTINATION "${PELORIN_SYSTEMD_UNIT_DIR}" COMPONENT core)
install(FILES "${_pelorin_pkg_dir}/enpos.ini.example"
        DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples RENAME enpos.ini COMPONENT core)
# The service's first file, copied by its ExecStartPre (outside /usr/share/doc,
# which minimal installations leave out).
install(FILES "${_pelorin_pkg_dir}/enpos.ini.example"
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/pelorin RENAME enpos.ini COMPONENT core)

# A changelog.Debian.gz per package; its date honours SOURCE_DATE_EPOCH.
string(TIMESTAMP _pelorin_changelog_date "%a, %d %b %Y %H:%M:%S +0000" UTC)
set(_pelorin_changelog "${_pelorin_gen_dir}/changelog.Debian")
file(CONFIGURE OUTPUT "${_pelorin_changelog}" @ONLY CONTENT
"pelorin (@PELORIN_DEB_VERSION@) unstable; urgency=medium

  * Package of pelorin @PROJECT_VERSION@, built from the sources with CMake
    and CPack.

 -- @PELORIN_MAINTAINER@  @_pelorin_changelog_date@
")
if(PELORIN_GZIP)
  add_custom_command(
    OUTPUT "${_pelorin_changelog}.gz"
    COMMAND sh -c "\"$1\" -9n -c \"$2\" > \"$2.gz\"" sh "${PELORIN_GZIP}" "${_pelorin_changelog}"
    DEPENDS "${_pelorin_changelog}"
    VERBATIM)
  add_custom_target(pelorin_changelog ALL DEPENDS "${_pelorin_changelog}.gz")
endif()

# Each package carries its own copyright file, changelog and lintian overrides.
function(pelorin_install_package_docs component package)
  install(FILES "${_pelorin_pkg_dir}/lintian/${package}"
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides COMPONENT ${component})
  install(FILES "${_pelorin_pkg_dir}/copyright"
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${package} COMPONENT ${component})
  if(PELORIN_GZIP)
    install(FILES "${_pelorin_changelog}.gz"
            DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${package} COMPONENT ${component})
  endif()
endfunction()
pelorin_install_package_docs(core pelorin)

# --- The desktop module (Qt), a package of its own ----------------------------

set(_pelorin_components core)
if(TARGET pelorin_desktop)
  install(TARGETS pelorin_desktop
          LIBRARY DESTINATION lib/pelorin COMPONENT desktop
          RUNTIME DESTINATION lib/pelorin COMPONENT desktop)
  pelorin_install_package_docs(desktop pelorin-desktop)
  list(APPEND _pelorin_components desktop)
endif()

# --- CPack: Debian packages -----------------------------------------------------

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME pelorin)
set(CPACK_PACKAGE_VENDOR "pelorin maintainers")
set(CPACK_PACKAGE_CONTACT "${PELORIN_MAINTAINER}")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS ${CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS})
set(CPACK_COMPONENTS_ALL ${_pelorin_components})
set(CPACK_DEB_COMPONENT_INSTALL ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE ${PELORIN_DEB_RELEASE})
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${PELORIN_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

set(CPACK_DEBIAN_CORE_PACKAGE_NAME pelorin)
# deb-systemd-helper and deb-systemd-invoke, used by the maintainer scripts.
set(CPACK_DEBIAN_CORE_PACKAGE_DEPENDS "init-system-helpers (>= 1.54~)")
set(CPACK_DEBIAN_CORE_PACKAGE_CONTROL_EXTRA
    "${_pelorin_pkg_dir}/deb/postinst;${_pelorin_pkg_dir}/deb/prerm;${_pelorin_pkg_dir}/deb/postrm")
set(CPACK_DEBIAN_CORE_DESCRIPTION
"name registry for a local network
pelorin is a small daemon that keeps a table of device names and their IPv4
addresses. Devices register their name and address over TCP on one port;
clients ask for the address of a name on another. Entries are kept in a
plain INI file and survive restarts.
.
This package holds the daemon (run headless as the systemd service
pelorin.service, under a dynamic user), the command-line client pelorinctl,
and their manual pages.")

set(CPACK_DEBIAN_DESKTOP_PACKAGE_NAME pelorin-desktop)
set(CPACK_DEBIAN_DESKTOP_PACKAGE_DEPENDS "pelorin (= ${PELORIN_DEB_VERSION})")
set(CPACK_DEBIAN_DESKTOP_DESCRIPTION
"tray icon for the pelorin name registry
pelorin is a small daemon that keeps a table of device names and their IPv4
addresses for a local network.
.
This package holds the module that gives pelorin a tray icon with an Exit
entry when it runs on a desktop with a display. It needs Qt; the pelorin
package works without it.")

include(CPack)

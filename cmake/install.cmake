# Installation and packaging.
#   make install [PREFIX=/usr/local] [DESTDIR=...]   programs, shared libraries, headers, data, man pages
#   make package                                      a .deb through CPack
include(GNUInstallDirs)

# The configuration and data directory the programs read when TOVADIR is
# not set; an absolute path, so PREFIX does not move it (DESTDIR still does).
set(VELMORA_CONFDIR "/opt/tovaworks/etc" CACHE PATH "Configuration directory (the TOVADIR default)")
set(VELMORA_INCLUDEDIR "${CMAKE_INSTALL_INCLUDEDIR}/velmora")

# Installed programs find the suite's libraries beside them, wherever the
# tree was installed (DESTDIR included).
file(RELATIVE_PATH _velmora_bin2lib "/${CMAKE_INSTALL_BINDIR}" "/${CMAKE_INSTALL_LIBDIR}")
set(VELMORA_INSTALL_RPATH "$ORIGIN/${_velmora_bin2lib}")

# velmora_install_library(<target> [HEADERS <files...>])
# The shared library with its soname link and development link, and its
# public headers.
function(velmora_install_library target)
  cmake_parse_arguments(L "" "" "HEADERS" ${ARGN})
  install(TARGETS ${target} LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
  if(L_HEADERS)
    install(FILES ${L_HEADERS} DESTINATION ${VELMORA_INCLUDEDIR})
  endif()
endfunction()

# velmora_install_data(<files...>)
# Data files the programs read from the configuration directory; a file
# that does not exist (yet) is left out.
function(velmora_install_data)
  foreach(f ${ARGN})
    if(EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/${f})
      install(FILES ${f} DESTINATION ${VELMORA_CONFDIR})
    endif()
  endforeach()
endfunction()

# The suite's programs: each one that is built is installed with its manual
# page (man/<program>.1) by man/CMakeLists.txt, which comes last.
set(VELMORA_PROGRAMS kavtap kavpan kav_import kavmerge kavxref kavretx kavwin)

set(CPACK_GENERATOR "DEB")
set(CPACK_PACKAGE_NAME "velmora")
set(CPACK_PACKAGE_VENDOR "Velmora")
set(CPACK_PACKAGE_CONTACT "Velmora maintainers <velmora@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "network capture, log and decode tools")
set(CPACK_PACKAGE_DESCRIPTION
    "kavtap captures frames from packet sockets into a binary log, kavpan decodes logs layer by layer, kav_import converts pcap, pcapng, snoop and raw captures, kavmerge merges logs.")
set(CPACK_PACKAGING_INSTALL_PREFIX "/usr")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION "net")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Shared libraries of its own: shlibs and the ldconfig trigger.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
include(CPack)

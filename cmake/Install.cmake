# Install rules and the Debian package.
#
#   cmake --install build --prefix /usr/local   -> bin/quorlith, bin/qpk, share/man/man1/{quorlith,qpk}.1
#   cd build && cpack -G DEB                    -> quorlith_1.2_<arch>.deb (installs under /usr)

include(GNUInstallDirs)

install(TARGETS quorlith qpk RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
if(NOT WIN32)
  install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/doc/quorlith.1 ${CMAKE_CURRENT_SOURCE_DIR}/doc/qpk.1
          DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endif()

set(CPACK_PACKAGE_NAME quorlith)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "quorlith maintainers")
set(CPACK_PACKAGE_CONTACT "quorlith maintainers <maintainers@users.noreply.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "packs the files of a disc image into one qpk file and back")
set(CPACK_STRIP_FILES ON)
set(CPACK_SOURCE_GENERATOR TGZ)
set(CPACK_SOURCE_IGNORE_FILES "/\\\\.git/" "/build[^/]*/" "/demo-out/")

if(WIN32)
  set(CPACK_GENERATOR ZIP)
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${CPACK_PACKAGE_CONTACT}")
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  # CPack puts the summary in front and formats the lines for the control file.
  set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
      "quorlith reads a dlf layout list (the disc offset and name of every file of
a disc image) and copies the listed files into one qpk container. It also
unpacks a qpk file into a directory tree named after the disc's own
file-system table, with a new dlf file that packs the tree again. Its
companion qpk lists, summarizes and checks qpk and dlf files and takes out
one file without unpacking the whole.")
  # Exact library versions when dpkg-shlibdeps (dpkg-dev) is there to compute
  # them; otherwise the unversioned libraries every C++ program needs.
  find_program(QUORLITH_DPKG_SHLIBDEPS dpkg-shlibdeps)
  if(QUORLITH_DPKG_SHLIBDEPS)
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  else()
    set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6, libgcc-s1, libstdc++6")
  endif()
endif()

include(CPack)

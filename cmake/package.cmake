# What `cmake --install` puts in place and what `cpack -G DEB` packs: the command, its
# manual page and its bash completion. Nothing else is installed.
include(GNUInstallDirs)
if(TARGET daduvivu)
  install(TARGETS daduvivu RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES ${CMAKE_SOURCE_DIR}/docs/daduvivu.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  install(FILES ${CMAKE_SOURCE_DIR}/docs/daduvivu.bash-completion
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/bash-completion/completions RENAME daduvivu)
endif()

set(CPACK_PACKAGE_NAME daduvivu)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Daduvivu maintainers <daduvivu@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "make and open self-extracting archives for 32-bit Windows")
set(CPACK_PACKAGE_DESCRIPTION
    "daduvivu packs folders into self-extracting Windows programs (a 28,672-byte stub with the compressed files behind it, split into volumes when asked) and lists, tests and extracts such archives without Windows.")
set(CPACK_PACKAGE_INSTALL_DIRECTORY /usr)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)  # libc6, as the binary needs it (the C++ runtime is linked in)
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "wine")
set(CPACK_STRIP_FILES ON)
include(CPack)

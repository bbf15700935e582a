# Installation and release packages (cpack): a .deb from the native build, a ZIP
# of restamp.exe from the Windows build. With SOURCE_DATE_EPOCH set, each is the
# same byte for byte wherever it is built.
set(CPACK_PACKAGE_VENDOR "the restamp authors")
set(CPACK_PACKAGE_CONTACT "the restamp authors <restamp@users.noreply.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "set the resolution (DPI) recorded in PNG files")
set(CPACK_PACKAGE_DESCRIPTION_FILE "${PROJECT_SOURCE_DIR}/packaging/description")
set(CPACK_RESOURCE_FILE_LICENSE "${PROJECT_SOURCE_DIR}/LICENSE")
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

if(WIN32)
  install(TARGETS restamp RUNTIME DESTINATION .)
  # A short README for Windows users, with Windows line ends.
  configure_file(packaging/README.txt.in README.txt @ONLY NEWLINE_STYLE CRLF)
  install(FILES README.md LICENSE ${PROJECT_BINARY_DIR}/README.txt DESTINATION .)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_SYSTEM_NAME win64)
else()
  install(TARGETS restamp RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  # A stripped install (cpack, cmake --install --strip) also drops the
  # compilers' version notes (.comment), as Debian's packages do.
  if(CMAKE_OBJCOPY)
    install(CODE "if(CMAKE_INSTALL_DO_STRIP)
  execute_process(COMMAND \"${CMAKE_OBJCOPY}\" --remove-section=.comment
                          \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/$<TARGET_FILE_NAME:restamp>\"
                  COMMAND_ERROR_IS_FATAL ANY)
endif()")
  endif()
  # The man page, the Debian changelog and the README, compressed without a
  # name or time in the file (gzip -n) so that every build makes the same bytes.
  configure_file(man/restamp.1.in man/restamp.1 @ONLY)
  configure_file(packaging/changelog doc/changelog COPYONLY)
  configure_file(README.md doc/README.md COPYONLY)
  file(STRINGS packaging/changelog latest LIMIT_COUNT 1)
  if(NOT latest MATCHES "^restamp \\(${PROJECT_VERSION}\\) ")
    message(FATAL_ERROR "packaging/changelog needs an entry for restamp ${PROJECT_VERSION} at the top")
  endif()
  find_program(RESTAMP_GZIP gzip)
  if(RESTAMP_GZIP)
    # One command per file, and the time of the .gz set to now (gzip gives it
    # its source's), so that a build with nothing changed runs neither.
    foreach(doc man/restamp.1 doc/changelog doc/README.md)
      add_custom_command(OUTPUT ${PROJECT_BINARY_DIR}/${doc}.gz
                         COMMAND ${RESTAMP_GZIP} -n -9 -f -k ${doc}
                         COMMAND ${CMAKE_COMMAND} -E touch ${doc}.gz
                         DEPENDS ${PROJECT_BINARY_DIR}/${doc}
                         WORKING_DIRECTORY ${PROJECT_BINARY_DIR} VERBATIM)
    endforeach()
    add_custom_target(restamp_docs ALL DEPENDS ${PROJECT_BINARY_DIR}/man/restamp.1.gz ${PROJECT_BINARY_DIR}/doc/changelog.gz
                                               ${PROJECT_BINARY_DIR}/doc/README.md.gz)
    install(FILES ${PROJECT_BINARY_DIR}/man/restamp.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
    install(FILES ${PROJECT_BINARY_DIR}/doc/changelog.gz ${PROJECT_BINARY_DIR}/doc/README.md.gz packaging/copyright
            DESTINATION ${CMAKE_INSTALL_DOCDIR})
  else()
    # Without gzip, neither the changelog nor the README is installed (Debian
    # wants them compressed).
    install(FILES ${PROJECT_BINARY_DIR}/man/restamp.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
    install(FILES packaging/copyright DESTINATION ${CMAKE_INSTALL_DOCDIR})
  endif()
  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON) # Depends from dpkg-shlibdeps
  # cpack stops, naming the package to install, when file or dpkg-shlibdeps is missing.
  set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_SOURCE_DIR}/cmake/PackagingTools.cmake)
  set(CPACK_DEBIAN_PACKAGE_SECTION graphics)
endif()
include(CPack)

# Install rules, the man page and the Debian package.
#
#   cmake --install BUILD [--component zelflash|zelsim] [--prefix DIR]
#
# Component zelflash: bin/zelflash, share/man/man1/zelflash.1, the bash, zsh
# and fish completions, README.md and CHANGELOG.md in share/doc/zel. Component
# zelsim: bin/zelsim. Component deb: the Debian package's own copyright and
# changelog.gz, for the package only. The Windows build installs nothing: its
# zip is made by scripts/release.
#
# The Debian package (cpack -G DEB, as scripts/release runs it) holds the
# components zelflash and deb: zel_<version>_amd64.deb.

if(WIN32)
  return()
endif()

include(GNUInstallDirs)
set(ZEL_PACKAGING_DIR ${CMAKE_CURRENT_LIST_DIR})

# The man page: scdoc turns its source into troff at build time, dated by
# ZEL_SOURCE_DATE_EPOCH (the last commit), never by the build. The Debian
# package wants it compressed (ZEL_GZIP_MAN, which scripts/release sets).
find_program(ZEL_SCDOC scdoc)
option(ZEL_GZIP_MAN "Install the man page compressed (zelflash.1.gz), as Debian wants" OFF)
if(ZEL_SCDOC)
  set(man ${CMAKE_BINARY_DIR}/man/zelflash.1)
  add_custom_command(OUTPUT ${man}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
    COMMAND ${CMAKE_COMMAND} -DINPUT=${ZEL_PACKAGING_DIR}/zelflash.1.scd -DOUTPUT=${man}
      -DEPOCH=${ZEL_SOURCE_DATE_EPOCH} -P ${ZEL_PACKAGING_DIR}/pipe.cmake -- ${ZEL_SCDOC}
    DEPENDS ${ZEL_PACKAGING_DIR}/zelflash.1.scd ${ZEL_PACKAGING_DIR}/pipe.cmake
    COMMENT "Man page zelflash.1 (scdoc)")
  if(ZEL_GZIP_MAN)
    # -n: no name or time stamp in the header, so the bytes repeat.
    add_custom_command(OUTPUT ${man}.gz
      COMMAND ${CMAKE_COMMAND} -DINPUT=${man} -DOUTPUT=${man}.gz -P ${ZEL_PACKAGING_DIR}/pipe.cmake -- gzip -9n
      DEPENDS ${man}
      COMMENT "Man page zelflash.1.gz")
    set(man ${man}.gz)
  endif()
  add_custom_target(zelflash_man ALL DEPENDS ${man})
  install(FILES ${man} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT zelflash)
else()
  message(WARNING "scdoc not found (apt-get install scdoc): no man page is built or installed")
endif()

install(TARGETS zelflash RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT zelflash)
# A stripped install (cmake --install --strip, and the Debian package) also
# drops the compiler's .comment and .note sections, as Debian's own strip does.
install(CODE "
  if(CMAKE_INSTALL_DO_STRIP)
    execute_process(COMMAND \"${CMAKE_STRIP}\" --remove-section=.comment --remove-section=.note
      \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/zelflash\" COMMAND_ERROR_IS_FATAL ANY)
  endif()" COMPONENT zelflash)
install(FILES ${ZEL_PACKAGING_DIR}/completions/zelflash.bash
  DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME zelflash COMPONENT zelflash)
install(FILES ${ZEL_PACKAGING_DIR}/completions/_zelflash
  DESTINATION ${CMAKE_INSTALL_DATADIR}/zsh/vendor-completions COMPONENT zelflash)
install(FILES ${ZEL_PACKAGING_DIR}/completions/zelflash.fish
  DESTINATION ${CMAKE_INSTALL_DATADIR}/fish/vendor_completions.d COMPONENT zelflash)
install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/CHANGELOG.md
  DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT zelflash)

install(TARGETS zelsim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT zelsim)

# What Debian wants beside the docs: the copyright file and, for a native
# package, changelog.gz in its own format, dated like the man page.
set(saved_epoch "$ENV{SOURCE_DATE_EPOCH}")
set(ENV{SOURCE_DATE_EPOCH} ${ZEL_SOURCE_DATE_EPOCH})  # string(TIMESTAMP) honours it
string(TIMESTAMP ZEL_DEB_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
set(ENV{SOURCE_DATE_EPOCH} "${saved_epoch}")
set(ZEL_MAINTAINER "zel maintainers <maintainers@users.noreply.c-seed-7d18ce75.example>")
configure_file(${ZEL_PACKAGING_DIR}/debian/changelog.in ${CMAKE_BINARY_DIR}/deb/changelog @ONLY)
add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/deb/changelog.gz
  COMMAND ${CMAKE_COMMAND} -DINPUT=${CMAKE_BINARY_DIR}/deb/changelog -DOUTPUT=${CMAKE_BINARY_DIR}/deb/changelog.gz
    -P ${ZEL_PACKAGING_DIR}/pipe.cmake -- gzip -9n
  DEPENDS ${CMAKE_BINARY_DIR}/deb/changelog
  COMMENT "Debian changelog.gz")
add_custom_target(zel_deb_changelog ALL DEPENDS ${CMAKE_BINARY_DIR}/deb/changelog.gz)
install(FILES ${ZEL_PACKAGING_DIR}/debian/copyright ${CMAKE_BINARY_DIR}/deb/changelog.gz
  DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT deb EXCLUDE_FROM_ALL)

# The checks of the man page and completions against the built zelflash
# (packaging/check_options.py), and of that check itself.
if(ZEL_TESTS)
  find_package(Python3 COMPONENTS Interpreter)
  if(Python3_FOUND)
    add_test(NAME packaging_options
      COMMAND ${Python3_EXECUTABLE} ${ZEL_PACKAGING_DIR}/check_options.py $<TARGET_FILE:zelflash> ${PROJECT_SOURCE_DIR})
    add_test(NAME packaging_options_selftest
      COMMAND ${Python3_EXECUTABLE} ${ZEL_PACKAGING_DIR}/tests/check_options_test.py $<TARGET_FILE:zelflash>)
    add_test(NAME packaging_version_header
      COMMAND ${Python3_EXECUTABLE} ${ZEL_PACKAGING_DIR}/tests/version_header_test.py
        ${ZEL_VERSION_HEADER} ${PROJECT_VERSION} ${PROJECT_SOURCE_DIR} ${CMAKE_CXX_COMPILER})
    set_tests_properties(packaging_options packaging_options_selftest packaging_version_header
      PROPERTIES TIMEOUT 60)
  endif()
endif()

# The Debian package.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME zel)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR Tolbeck)
set(CPACK_PACKAGE_CONTACT ${ZEL_MAINTAINER})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/package)
set(CPACK_STRIP_FILES ON)
set(CPACK_COMPONENTS_ALL zelflash deb)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
  OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "command-line programmer for zel devices on serial ports")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_NAME zel)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${ZEL_MAINTAINER})
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)
# CPack puts the summary first, as the synopsis, then this.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "zelflash writes a device image into the flash of zel devices on serial
ports, sets each device's clock and restarts it. It programs several ports
at once, reads raw binary, Intel HEX and Motorola S-record images, and
reports progress as live rows, plain lines or JSON events, with exit codes
for scripts. Its watch command is a programming station: it programs every
board as it is plugged in and keeps a JSON log of each one.")
include(CPack)

# Install rules and the Debian package: `cpack -G DEB` in a build directory
# configured with -DCMAKE_INSTALL_PREFIX=/usr (scripts/package.sh does both).
#
# The layout follows from how the pieces find each other:
#   /usr/bin/Tavorin_WIN                 the program
#   /usr/lib/<triplet>/libOmbrix.so      the link library, in the dynamic
#                                        linker's own path: the program
#                                        finds it there by file name once
#                                        nothing is beside it, and so does
#                                        any other program linked to it
#   /usr/include/ombrix.h                its header, for those programs
#   /usr/bin/tavorin-capture             the image commands from a script
#   /usr/bin/tavorin-virtual-scanner     the tool, named after the package
#                                        so that it is never mistaken for
#                                        some other simulator
#   desktop entry, icon, manual pages, README, copyright and changelog.

# A sanitizer or fuzzing build is for finding faults, not for installing.
if(TAVORIN_ASAN OR TAVORIN_TSAN OR TAVORIN_BUILD_FUZZ)
  return()
endif()

include(GNUInstallDirs)

set(TAVORIN_PACKAGE_NAME tavorin)
set(_packaging_dir ${CMAKE_CURRENT_LIST_DIR}/../packaging)
cmake_path(NORMAL_PATH _packaging_dir)
set(_doc_dir ${CMAKE_INSTALL_DATADIR}/doc/${TAVORIN_PACKAGE_NAME})

# The changelog names the version the package says it is; one that lags
# behind the project would describe some other release.
file(STRINGS ${_packaging_dir}/changelog _changelog_top LIMIT_COUNT 1)
if(NOT _changelog_top MATCHES "^${TAVORIN_PACKAGE_NAME} \\(${PROJECT_VERSION}\\) ")
  message(FATAL_ERROR "packaging/changelog starts with \"${_changelog_top}\"; "
                      "its first entry must be for ${TAVORIN_PACKAGE_NAME} ${PROJECT_VERSION}")
endif()

# ---- install rules ----------------------------------------------------------

# A shared library is mapped, not executed: 0644, as the dynamic linker's
# directories expect.
install(TARGETS Ombrix
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
install(FILES ${PROJECT_SOURCE_DIR}/link/include/ombrix.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

set(_man_pages)
if(TARGET Tavorin_WIN)
  install(TARGETS Tavorin_WIN RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES ${_packaging_dir}/tavorin.desktop
    DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
  install(FILES ${_packaging_dir}/tavorin.svg
    DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
  list(APPEND _man_pages Tavorin_WIN.1)
endif()

if(TARGET tavorin-capture)
  install(TARGETS tavorin-capture RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  list(APPEND _man_pages tavorin-capture.1)
endif()

if(TARGET virtual-scanner)
  # install(TARGETS) cannot rename, so the tool goes in as a file under its
  # installed name and is stripped here exactly as a target would be.
  install(PROGRAMS $<TARGET_FILE:virtual-scanner>
    DESTINATION ${CMAKE_INSTALL_BINDIR}
    RENAME tavorin-virtual-scanner)
  install(CODE "
    if(CMAKE_INSTALL_DO_STRIP)
      execute_process(COMMAND \"${CMAKE_STRIP}\"
        \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/tavorin-virtual-scanner\"
        RESULT_VARIABLE _strip_result)
      if(NOT _strip_result EQUAL 0)
        message(FATAL_ERROR \"stripping tavorin-virtual-scanner failed: \${_strip_result}\")
      endif()
    endif()")
  install(FILES ${PROJECT_SOURCE_DIR}/tools/virtual-scanner/README.md
    DESTINATION ${_doc_dir} RENAME virtual-scanner.md)
  list(APPEND _man_pages tavorin-virtual-scanner.1)
endif()

install(FILES ${PROJECT_SOURCE_DIR}/README.md ${_packaging_dir}/copyright
  DESTINATION ${_doc_dir})
install(FILES ${_packaging_dir}/lintian-overrides
  DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides
  RENAME ${TAVORIN_PACKAGE_NAME})

# Manual pages and the changelog are shipped compressed, without a name or
# time stamp in the gzip header so that two builds give the same bytes.
find_program(TAVORIN_GZIP gzip REQUIRED)
set(_gz_outputs)
foreach(page ${_man_pages} changelog)
  set(_out ${CMAKE_CURRENT_BINARY_DIR}/packaging/${page}.gz)
  add_custom_command(OUTPUT ${_out}
    COMMAND ${CMAKE_COMMAND} -E copy ${_packaging_dir}/${page} ${CMAKE_CURRENT_BINARY_DIR}/packaging/${page}
    COMMAND ${TAVORIN_GZIP} -9 -n -f ${CMAKE_CURRENT_BINARY_DIR}/packaging/${page}
    DEPENDS ${_packaging_dir}/${page}
    VERBATIM)
  list(APPEND _gz_outputs ${_out})
  if(page STREQUAL "changelog")
    install(FILES ${_out} DESTINATION ${_doc_dir})
  else()
    install(FILES ${_out} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  endif()
endforeach()
add_custom_target(tavorin_packaging_files ALL DEPENDS ${_gz_outputs})

# ---- the Debian package -----------------------------------------------------

if(NOT CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  message(STATUS "Packaging: the Debian package wants -DCMAKE_INSTALL_PREFIX=/usr "
                 "(now ${CMAKE_INSTALL_PREFIX}); scripts/package.sh sets it")
endif()

set(TAVORIN_PACKAGE_MAINTAINER
  "Tavorin developers <maintainers@users.noreply.c-seed-29beb41a.example>"
  CACHE STRING "Maintainer field of the Debian package")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ${TAVORIN_PACKAGE_NAME})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "The Tavorin developers")
set(CPACK_PACKAGE_CONTACT ${TAVORIN_PACKAGE_MAINTAINER})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
  OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "terminal and picture receiver for 2D imaging scanners")
set(CPACK_PACKAGE_DESCRIPTION
  "Tavorin_WIN connects up to three 2D imaging scanners on serial ports, sends
menu commands typed in a terminal, composes and sends the image commands
(IMGSNP, IMGSHP, IMGBOX), receives the picture into a file and shows it.
.
tavorin-capture sends the same image commands from a script, a cron job or
CI, without a display, and receives the picture into a file.
.
The package also holds the link library libOmbrix.so that carries every byte
on the serial line, its C header for programs that link it, and
tavorin-virtual-scanner, a scanner on a pseudo-terminal for trying all of it
without hardware.")

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${TAVORIN_PACKAGE_MAINTAINER})
# Libraries linked into the binaries are found by dpkg-shlibdeps. Two needs
# are invisible to it: Qt draws no window without its platform plugins, and
# the windows' Japanese captions need a font that has the glyphs.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins, fonts-noto-cjk")
# The library lands in the dynamic linker's directories: its cache must be
# rebuilt on install and removal, or a program would not find it by name.
# Its symbols file gives programs that link it a dependency on this package.
set(_symbols ${CMAKE_CURRENT_BINARY_DIR}/packaging/symbols)
add_custom_command(OUTPUT ${_symbols}
  COMMAND ${CMAKE_COMMAND} -DLIBRARY=$<TARGET_FILE:Ombrix> -DNM=${CMAKE_NM}
          -DPACKAGE=${TAVORIN_PACKAGE_NAME} -DVERSION=${PROJECT_VERSION} -DOUTPUT=${_symbols}
          -P ${_packaging_dir}/symbols.cmake
  DEPENDS Ombrix ${_packaging_dir}/symbols.cmake
  VERBATIM)
add_custom_target(tavorin_packaging_symbols ALL DEPENDS ${_symbols})
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${_packaging_dir}/triggers ${_symbols})
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

include(CPack)

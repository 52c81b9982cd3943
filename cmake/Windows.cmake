# The Windows build (cross-built with MinGW-w64, mingw-w64-wine.cmake): which
# runtime each binary carries, the files a Qt program needs beside it, and
# what a Windows user downloads (the zip and the per-user installer).

# tavorin_static_runtime(target): the compiler's runtime linked into the
# target, so that it needs no DLL but the system's. For the link library,
# which programs of any make load, and for the test programs without Qt.
# The Qt programs share the runtime DLLs that Qt's own DLLs use instead.
function(tavorin_static_runtime target)
  target_link_options(${target} PRIVATE -static -static-libgcc -static-libstdc++)
endfunction()

if(NOT TAVORIN_BUILD_APP)
  return()
endif()

find_package(Qt6 6.4 REQUIRED COMPONENTS Core Gui Widgets)

# What a Qt program of ours loads at run time besides the system's DLLs, as
# <folder beside the program>|<file>. The one list: the build copies it into
# bin/ (where the tests run the programs) and the package ships it.
set(_qt "${QT6_INSTALL_PREFIX}")
set(TAVORIN_WINDOWS_RUNTIME
  ".|${_qt}/bin/Qt6Core.dll"
  ".|${_qt}/bin/Qt6Gui.dll"
  ".|${_qt}/bin/Qt6Widgets.dll"
  "platforms|${_qt}/plugins/platforms/qwindows.dll"
  # Windows without a display of their own: the tests, and screenshots.
  "platforms|${_qt}/plugins/platforms/qoffscreen.dll"
  "styles|${_qt}/plugins/styles/qwindowsvistastyle.dll"
  "imageformats|${_qt}/plugins/imageformats/qjpeg.dll"
  "imageformats|${_qt}/plugins/imageformats/qgif.dll"
  "imageformats|${_qt}/plugins/imageformats/qico.dll"
  # Qt's standard buttons in Japanese; the texts are the same on every
  # platform, so the host's own file serves.
  "translations|/usr/share/qt6/translations/qtbase_ja.qm"
)
# The compiler's runtime, shared by Qt's DLLs and ours. Debian ships it with
# its debugging symbols (libstdc++ alone is 24 MB so); it is stripped on the
# way.
set(TAVORIN_MINGW_RUNTIME)
foreach(name libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll)
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${name}
                  OUTPUT_VARIABLE path OUTPUT_STRIP_TRAILING_WHITESPACE)
  get_filename_component(path "${path}" REALPATH)
  if(NOT EXISTS "${path}")
    message(FATAL_ERROR "The compiler's runtime ${name} is not where the compiler says")
  endif()
  list(APPEND TAVORIN_MINGW_RUNTIME "${path}")
endforeach()

set(_outputs)
set(_bin ${CMAKE_RUNTIME_OUTPUT_DIRECTORY})
foreach(entry ${TAVORIN_WINDOWS_RUNTIME})
  string(REPLACE "|" ";" parts "${entry}")
  list(GET parts 0 folder)
  list(GET parts 1 file)
  get_filename_component(name "${file}" NAME)
  set(out "${_bin}/${folder}/${name}")
  add_custom_command(OUTPUT "${out}"
    COMMAND ${CMAKE_COMMAND} -E make_directory "${_bin}/${folder}"
    COMMAND ${CMAKE_COMMAND} -E copy_if_different "${file}" "${out}"
    DEPENDS "${file}" VERBATIM)
  list(APPEND _outputs "${out}")
  install(FILES "${out}" DESTINATION "${folder}")
endforeach()
foreach(file ${TAVORIN_MINGW_RUNTIME})
  get_filename_component(name "${file}" NAME)
  set(out "${_bin}/${name}")
  add_custom_command(OUTPUT "${out}"
    COMMAND ${CMAKE_STRIP} --strip-unneeded -o "${out}" "${file}"
    DEPENDS "${file}" VERBATIM)
  list(APPEND _outputs "${out}")
  install(FILES "${out}" DESTINATION .)
endforeach()
# Qt Test: for the test programs only, never shipped.
add_custom_command(OUTPUT "${_bin}/Qt6Test.dll"
  COMMAND ${CMAKE_COMMAND} -E copy_if_different "${_qt}/bin/Qt6Test.dll" "${_bin}/Qt6Test.dll"
  DEPENDS "${_qt}/bin/Qt6Test.dll" VERBATIM)
list(APPEND _outputs "${_bin}/Qt6Test.dll")
add_custom_target(windows_runtime ALL DEPENDS ${_outputs})

# The licence texts that travel with the programs: ours, Qt's (with where
# its source came from and how it was configured) and the compiler
# runtime's.
install(FILES ${CMAKE_SOURCE_DIR}/LICENSE DESTINATION . RENAME LICENSE.txt)
install(FILES ${CMAKE_SOURCE_DIR}/packaging/windows/README.txt DESTINATION .)
install(DIRECTORY "${_qt}/licenses/" DESTINATION licenses/Qt)
install(FILES "${_qt}/SOURCE.txt" DESTINATION licenses/Qt)
install(FILES /usr/share/doc/gcc-mingw-w64-x86-64-posix-runtime/copyright
        DESTINATION licenses/MinGW RENAME gcc-runtime.txt)
install(FILES /usr/share/doc/mingw-w64-x86-64-dev/copyright
        DESTINATION licenses/MinGW RENAME mingw-w64-runtime.txt)

# build-mingw/Tavorin-<version>-win64.zip and Tavorin-<version>-win64-setup.exe:
# `cmake --build build-mingw --target windows_package`.
set(TAVORIN_PACKAGE_NAME "Tavorin-${PROJECT_VERSION}-win64")
add_custom_target(windows_package
  COMMAND ${CMAKE_COMMAND}
    -DBUILD_DIR=${CMAKE_BINARY_DIR}
    -DNAME=${TAVORIN_PACKAGE_NAME}
    -DVERSION=${PROJECT_VERSION}
    -DNSIS_SCRIPT=${CMAKE_SOURCE_DIR}/packaging/windows/tavorin.nsi
    -P ${CMAKE_SOURCE_DIR}/cmake/WindowsPackage.cmake
  USES_TERMINAL VERBATIM)
add_dependencies(windows_package windows_runtime)

# tavorin_windows_resources(target description): the program's icon, drawn
# from the same picture as the Linux menu's, and its version information.
function(tavorin_windows_resources target description)
  set(ico ${CMAKE_BINARY_DIR}/resources/tavorin.ico)
  set(svg ${CMAKE_SOURCE_DIR}/packaging/tavorin.svg)
  if(NOT TARGET tavorin_icon)
    find_program(RSVG_CONVERT rsvg-convert REQUIRED)
    find_program(MAGICK_CONVERT convert REQUIRED)
    set(pngs)
    set(commands)
    foreach(size 16 24 32 48 64 256)
      set(png ${CMAKE_BINARY_DIR}/resources/tavorin-${size}.png)
      list(APPEND pngs ${png})
      list(APPEND commands COMMAND ${RSVG_CONVERT} -w ${size} -h ${size} ${svg} -o ${png})
    endforeach()
    add_custom_command(OUTPUT ${ico}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/resources
      ${commands}
      COMMAND ${MAGICK_CONVERT} ${pngs} ${ico}
      DEPENDS ${svg} VERBATIM)
    add_custom_target(tavorin_icon DEPENDS ${ico})
  endif()
  set(TAVORIN_ICON ${ico})
  set(TAVORIN_EXE ${target})
  set(TAVORIN_DESCRIPTION "${description}")
  set(rc ${CMAKE_BINARY_DIR}/resources/${target}.rc)
  configure_file(${CMAKE_SOURCE_DIR}/app/forms/tavorin_win.rc.in ${rc} @ONLY)
  target_sources(${target} PRIVATE ${rc})
  set_source_files_properties(${rc} PROPERTIES OBJECT_DEPENDS ${ico})
  add_dependencies(${target} tavorin_icon)
endfunction()

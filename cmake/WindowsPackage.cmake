# Script mode (cmake -P), run by the windows_package target: installs the
# Windows build into a folder of its own, packs that folder as the zip a
# user unpacks anywhere, and builds the per-user installer from the same
# files, so that the two can never differ.
#   -DBUILD_DIR=... -DNAME=Tavorin-<version>-win64 -DVERSION=... -DNSIS_SCRIPT=...
foreach(var BUILD_DIR NAME VERSION NSIS_SCRIPT)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "WindowsPackage.cmake needs -D${var}=")
  endif()
endforeach()

set(stage "${BUILD_DIR}/package/${NAME}")
file(REMOVE_RECURSE "${BUILD_DIR}/package")
execute_process(COMMAND ${CMAKE_COMMAND} --install "${BUILD_DIR}" --prefix "${stage}" --strip
                RESULT_VARIABLE r OUTPUT_QUIET)
if(r)
  message(FATAL_ERROR "Installing into ${stage} failed")
endif()

set(zip "${BUILD_DIR}/${NAME}.zip")
file(REMOVE "${zip}")
execute_process(COMMAND ${CMAKE_COMMAND} -E tar cf "${zip}" --format=zip "${NAME}"
                WORKING_DIRECTORY "${BUILD_DIR}/package" RESULT_VARIABLE r)
if(r)
  message(FATAL_ERROR "Packing ${zip} failed")
endif()
message(STATUS "Windows zip: ${zip}")

# What the installer puts where, and what its uninstaller takes away again:
# exactly the staged files, each folder removed only once it is empty, so
# that nothing the user put there goes with them.
file(GLOB_RECURSE files RELATIVE "${stage}" "${stage}/*")
list(SORT files)
set(install_lines "")
set(uninstall_lines "")
set(folders "")
set(current "<none>")
foreach(f ${files})
  get_filename_component(dir "${f}" DIRECTORY)
  string(REPLACE "/" "\\" wf "${f}")
  if(NOT dir STREQUAL current)
    set(current "${dir}")
    string(REPLACE "/" "\\" wdir "${dir}")
    if(dir STREQUAL "")
      string(APPEND install_lines "SetOutPath \"$INSTDIR\"\n")
    else()
      string(APPEND install_lines "SetOutPath \"$INSTDIR\\${wdir}\"\n")
    endif()
  endif()
  string(APPEND install_lines "File \"${stage}/${f}\"\n")
  string(APPEND uninstall_lines "Delete \"$INSTDIR\\${wf}\"\n")
  # Every folder on the way, for the removal.
  while(NOT dir STREQUAL "")
    list(APPEND folders "${dir}")
    get_filename_component(dir "${dir}" DIRECTORY)
  endwhile()
endforeach()
list(REMOVE_DUPLICATES folders)
# Deepest first.
list(SORT folders)
list(REVERSE folders)
foreach(dir ${folders})
  string(REPLACE "/" "\\" wdir "${dir}")
  string(APPEND uninstall_lines "RMDir \"$INSTDIR\\${wdir}\"\n")
endforeach()
file(WRITE "${BUILD_DIR}/package/install-files.nsh" "${install_lines}")
file(WRITE "${BUILD_DIR}/package/uninstall-files.nsh" "${uninstall_lines}")

find_program(MAKENSIS makensis REQUIRED)
set(setup "${BUILD_DIR}/${NAME}-setup.exe")
file(REMOVE "${setup}")
execute_process(
  COMMAND "${MAKENSIS}" -V2 -INPUTCHARSET UTF8
    "-DVERSION=${VERSION}"
    "-DOUTFILE=${setup}"
    "-DFILES_INSTALL=${BUILD_DIR}/package/install-files.nsh"
    "-DFILES_UNINSTALL=${BUILD_DIR}/package/uninstall-files.nsh"
    "${NSIS_SCRIPT}"
  RESULT_VARIABLE r)
if(r OR NOT EXISTS "${setup}")
  message(FATAL_ERROR "makensis failed")
endif()
message(STATUS "Windows installer: ${setup}")

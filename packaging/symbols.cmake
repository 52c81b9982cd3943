# cmake -DLIBRARY=<libOmbrix.so> -DNM=<nm> -DPACKAGE=<name> -DVERSION=<version>
#       -DOUTPUT=<file> -P symbols.cmake
#
# Writes the package's symbols file for the link library: every export of
# its C interface (the Ombrix_ functions), each dated to VERSION.
# dpkg-shlibdeps reads it to give a program built against the installed
# library a dependency on this package. Taken from the built library rather
# than kept by hand, so that a new export is never missing from it; dating
# every export to the version being built asks more of an older program's
# dependency than it needs, never less. The C++ runtime's weak template
# copies the library also exports are no interface and stay out.
execute_process(COMMAND ${NM} -D --defined-only ${LIBRARY}
  OUTPUT_VARIABLE listing RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${NM} could not read ${LIBRARY}: ${status}")
endif()
string(REGEX MATCHALL "[0-9a-f]+ T Ombrix_[A-Za-z0-9_]+" exports "${listing}")
if(NOT exports)
  message(FATAL_ERROR "${LIBRARY} exports no Ombrix_ function")
endif()
# The same package carries the header, so it is also what a program's build
# depends on.
set(text "libOmbrix.so ${PACKAGE} #MINVER#\n* Build-Depends-Package: ${PACKAGE}\n")
foreach(line IN LISTS exports)
  string(REGEX REPLACE "^[0-9a-f]+ T " "" name "${line}")
  string(APPEND text " ${name}@Base ${VERSION}\n")
endforeach()
file(WRITE ${OUTPUT} "${text}")

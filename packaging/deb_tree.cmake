# Run by CPack on the package's tree before it is packed: what Debian asks of
# a package beyond the installed files. The manual page is compressed, and
# /usr/share/doc/krelvon-scan gets the copyright file and a changelog.
file(GLOB_RECURSE pages "${CPACK_TEMPORARY_DIRECTORY}/*/share/man/man1/*.1")
foreach(page ${pages})
  execute_process(COMMAND gzip -9n "${page}" COMMAND_ERROR_IS_FATAL ANY)
endforeach()
file(GLOB usr LIST_DIRECTORIES true "${CPACK_TEMPORARY_DIRECTORY}/usr" "${CPACK_TEMPORARY_DIRECTORY}/*/usr")
list(GET usr 0 usr)
set(doc "${usr}/share/doc/${CPACK_PACKAGE_NAME}")
file(MAKE_DIRECTORY "${doc}")
file(READ "${KRELVON_LICENSE_FILE}" license)
string(REGEX REPLACE "^MIT License\n\n([^\n]*)\n\n" "" terms "${license}")
string(REGEX MATCH "Copyright [^\n]*" holder "${license}")
string(REGEX REPLACE "\n\n" "\n.\n" terms "${terms}")
string(REGEX REPLACE "\n" "\n " terms "${terms}")
file(WRITE "${doc}/copyright"
     "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\n"
     "Upstream-Name: krelvon\n\n"
     "Files: *\n${holder}\nLicense: Expat\n ${terms}\n")
string(TIMESTAMP now "%a, %d %b %Y %H:%M:%S +0000" UTC)
file(WRITE "${doc}/changelog"
     "${CPACK_PACKAGE_NAME} (${CPACK_PACKAGE_VERSION}) unstable; urgency=medium\n\n"
     "  * Release ${CPACK_PACKAGE_VERSION}.\n\n"
     " -- ${CPACK_DEBIAN_PACKAGE_MAINTAINER}  ${now}\n")
execute_process(COMMAND gzip -9n "${doc}/changelog" COMMAND_ERROR_IS_FATAL ANY)

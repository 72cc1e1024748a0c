# SPDX-License-Identifier: MIT
# Copyright (c) 2026 the Vantrel developers
# Run by "cpack -G DEB" twice. Before it packs the installed files, this
# compresses the manual pages and writes the licence as a machine-readable
# copyright file and the changelog, as Debian's policy asks; after, it
# sets the modes that the umask gave the package's own members. So the
# package is the same bytes from one source and SOURCE_DATE_EPOCH,
# whatever the umask.
#
# lintian is told that the package, being no upload to Debian, closes no
# request-for-packaging bug with its first changelog entry.
if(NOT CPACK_GENERATOR STREQUAL DEB)
  return()
endif()
set(readable OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
set(searchable ${readable} OWNER_EXECUTE GROUP_EXECUTE WORLD_EXECUTE)

# After packing: each member of the package's ar archive (debian-binary,
# control.tar.gz, data.tar.gz) is made rw-r--r--, as dpkg-deb makes them.
# A member's header is 60 bytes: its mode at byte 40, its size at 48.
if(CPACK_PACKAGE_FILES)
  foreach(deb ${CPACK_PACKAGE_FILES})
    set(at 8)
    foreach(member debian-binary control data)
      file(READ ${deb} header OFFSET ${at} LIMIT 60)
      string(SUBSTRING "${header}" 48 10 size)
      string(STRIP "${size}" size)
      math(EXPR mode "${at} + 40")
      execute_process(COMMAND printf "%-8s" 100644
        COMMAND dd of=${deb} bs=1 seek=${mode} conv=notrunc status=none COMMAND_ERROR_IS_FATAL ANY)
      math(EXPR at "${at} + 60 + ${size} + ${size} % 2")
    endforeach()
  endforeach()
  return()
endif()

set(usr ${CPACK_TEMPORARY_DIRECTORY}${CPACK_PACKAGING_INSTALL_PREFIX})
set(doc ${usr}/share/doc/${CPACK_PACKAGE_NAME})
set(overrides ${usr}/share/lintian/overrides)

# gzip at its best, with no name and no time stamp in the file.
function(compress file)
  execute_process(COMMAND gzip -9n ${file} COMMAND_ERROR_IS_FATAL ANY)
endfunction()

# A link to a manual page becomes a link to the compressed page.
file(GLOB pages ${usr}/share/man/man*/*)
foreach(page ${pages})
  if(IS_SYMLINK ${page})
    file(READ_SYMLINK ${page} target)
    file(REMOVE ${page})
    file(CREATE_LINK ${target}.gz ${page}.gz SYMBOLIC)
  else()
    compress(${page})
  endif()
endforeach()

# The licence's text after its copyright line, each line indented and
# each empty one a lone dot, as a field of a Debian control file is.
file(READ ${CPACK_RESOURCE_FILE_LICENSE} licence)
string(REGEX MATCH "Copyright \\(c\\) ([^\n]*)\n+(.*)" licence "${licence}")
set(holders ${CMAKE_MATCH_1})
string(STRIP "${CMAKE_MATCH_2}" terms)
string(REPLACE "\n\n" "\n.\n" terms "${terms}")
string(REPLACE "\n" "\n " terms "${terms}")

file(MAKE_DIRECTORY ${doc} ${overrides})
file(WRITE ${doc}/copyright
"Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: Vantrel
Upstream-Contact: ${CPACK_PACKAGE_CONTACT}
Source: ${CPACK_PACKAGE_HOMEPAGE_URL}

Files: *
Copyright: ${holders}
License: Expat
 ${terms}
")

# The package's one entry, dated when it is built.
string(TIMESTAMP date "%a, %d %b %Y %H:%M:%S +0000" UTC)
file(WRITE ${doc}/changelog.Debian
"${CPACK_PACKAGE_NAME} (${CPACK_PACKAGE_VERSION}-${CPACK_DEBIAN_PACKAGE_RELEASE}) unstable; urgency=medium

  * Version ${CPACK_PACKAGE_VERSION}, packaged by its own build.

 -- ${CPACK_PACKAGE_CONTACT}  ${date}
")
compress(${doc}/changelog.Debian)
file(WRITE ${overrides}/${CPACK_PACKAGE_NAME} "${CPACK_PACKAGE_NAME}: initial-upload-closes-no-bugs\n")

# Every folder rwxr-xr-x, and the files written here rw-r--r--.
file(CHMOD_RECURSE ${usr} DIRECTORY_PERMISSIONS ${searchable})
file(CHMOD ${doc}/copyright ${doc}/changelog.Debian.gz ${overrides}/${CPACK_PACKAGE_NAME} PERMISSIONS ${readable})

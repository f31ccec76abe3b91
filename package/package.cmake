# What an installation holds beside the programs (manual pages, bash completion, guides),
# and the Debian package of it all, made by `cpack -G DEB` (scripts/package.sh runs it).
set(PELMO4RIX_MAINTAINER "Pelmo4Rix developers <pelmo4rix@example.com>"
    CACHE STRING "The package's maintainer, as Debian wants it: name <address>")
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(package_dir ${CMAKE_CURRENT_SOURCE_DIR}/package)
set(staged_dir ${CMAKE_CURRENT_BINARY_DIR}/package)

# Manual pages and the changelog carry the version; Debian wants them compressed at the
# highest level, without the file's name and time, so that every build gives the same bytes.
set(compressed_files)
foreach(page IN ITEMS pelmo4rix pelmo4rix-trace pelmo4rix-update pelmo4rix-station pelmo4rix-vunit)
  configure_file(${package_dir}/man/${page}.1.in ${staged_dir}/${page}.1 @ONLY)
  list(APPEND compressed_files ${staged_dir}/${page}.1.gz)
endforeach()
configure_file(${package_dir}/changelog.in ${staged_dir}/changelog @ONLY)
list(APPEND compressed_files ${staged_dir}/changelog.gz)
foreach(compressed IN LISTS compressed_files)
  string(REGEX REPLACE "\\.gz$" "" plain ${compressed})
  add_custom_command(OUTPUT ${compressed} COMMAND gzip -9nkf ${plain} DEPENDS ${plain} VERBATIM)
endforeach()
add_custom_target(pelmo4rix_package_files ALL DEPENDS ${compressed_files})

list(FILTER compressed_files EXCLUDE REGEX "changelog")
install(FILES ${compressed_files} DESTINATION share/man/man1)
install(FILES ${package_dir}/pelmo4rix.bash-completion
        DESTINATION share/bash-completion/completions RENAME pelmo4rix)
file(GLOB guides CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/docs/*.md ${CMAKE_CURRENT_SOURCE_DIR}/docs/*.png)
install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/README.md ${guides} ${package_dir}/copyright
              ${staged_dir}/changelog.gz
        DESTINATION share/doc/pelmo4rix)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME pelmo4rix)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT ${PELMO4RIX_MAINTAINER})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "service tools for Pelmo4Rix Bluetooth units")
set(CPACK_PACKAGE_DESCRIPTION "Console programs that program, query and trace Pelmo4Rix units over a
serial port: pelmo4rix-update writes the firmware keeping the unit's
address, pelmo4rix-station programs unit after unit with addresses from an
address file, pelmo4rix-trace logs the unit's debug trace, and pelmo4rix
does the same work for scripts, with a gang station that programs several
units at once. pelmo4rix-vunit is a virtual unit on a pseudo-terminal for
trying the tools without hardware.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_STRIP_FILES ON)
include(CPack)

# SPDX-License-Identifier: Apache-2.0
# Installing fontseal like any Linux library and tool (the Debian packages of
# debian/ install through these rules too, under /usr).
#
#   cmake --build build --target fontseal_cli man
#   cmake --install build --prefix /opt/fontseal     (or: make install PREFIX=...)
#
# One build directory serves every prefix: the prefix is only known when
# `cmake --install` runs, so what depends on it, the library's directory, the
# CLI's run path and fontseal.pc, is settled then (the install(CODE) blocks).
include(GNUInstallDirs)
# Installing needs the library, the CLI and the pages, not the sanitizer
# builds and tests that `all` holds: the Makefile's install target builds
# those three first.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)

# Debian keeps the libraries of /usr in the multiarch directory
# (/usr/lib/x86_64-linux-gnu), where a cross build's pkg-config looks too.
# GNUInstallDirs picks it when the prefix is /usr at configure time; the same
# choice is made here when installing (into the package, or with --prefix
# /usr), unless another directory than lib was asked for.
install(CODE "
  set(FONTSEAL_INSTALL_LIBDIR \"${CMAKE_INSTALL_LIBDIR}\")
  if(CMAKE_INSTALL_PREFIX MATCHES \"^/usr/*$\" AND FONTSEAL_INSTALL_LIBDIR STREQUAL \"lib\"
     AND EXISTS /etc/debian_version AND NOT \"${CMAKE_LIBRARY_ARCHITECTURE}\" STREQUAL \"\")
    set(FONTSEAL_INSTALL_LIBDIR \"lib/${CMAKE_LIBRARY_ARCHITECTURE}\")
  endif()
")

# ---- Manual pages: written as text in docs/man/, turned into troff here ----
set(FONTSEAL_MAN_PAGES fontseal.1 fontseal.3)
set(FONTSEAL_MAN_OUTPUTS)
foreach(page ${FONTSEAL_MAN_PAGES})
  set(source ${PROJECT_SOURCE_DIR}/docs/man/${page}.txt)
  set(output ${PROJECT_BINARY_DIR}/man/${page})
  add_custom_command(OUTPUT ${output} ${output}.gz
    COMMAND /usr/bin/python3 ${PROJECT_SOURCE_DIR}/scripts/mkman.py
      --version ${PROJECT_VERSION} ${source} ${output}
    DEPENDS ${source} ${PROJECT_SOURCE_DIR}/scripts/mkman.py
    COMMENT "Writing the manual page ${page}")
  list(APPEND FONTSEAL_MAN_OUTPUTS ${output} ${output}.gz)
  string(REGEX REPLACE ".*\\." "" section ${page})
  install(FILES ${output}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section})
endforeach()
add_custom_target(man ALL DEPENDS ${FONTSEAL_MAN_OUTPUTS})
# The licence and its notices go with the files (the Debian packages carry
# debian/copyright instead).
install(FILES ${PROJECT_SOURCE_DIR}/LICENSE ${PROJECT_SOURCE_DIR}/NOTICE
  DESTINATION ${CMAKE_INSTALL_DOCDIR})

# ---- The library, its headers, the CLI ----
install(TARGETS libfontseal LIBRARY DESTINATION "\${FONTSEAL_INSTALL_LIBDIR}")
install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/fontseal
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} FILES_MATCHING PATTERN "*.h")

# The installed CLI finds the installed library through a run path relative
# to itself, so a prefix can be anywhere (and be moved). Where the library
# lands in a directory the loader searches anyway (/usr/lib, ...), the run
# path is taken out again after installing: the system's copy is found
# without one, and a package must not carry it.
file(RELATIVE_PATH FONTSEAL_BIN_TO_LIB /${CMAKE_INSTALL_BINDIR} /${CMAKE_INSTALL_LIBDIR})
set_target_properties(fontseal_cli PROPERTIES INSTALL_RPATH "$ORIGIN/${FONTSEAL_BIN_TO_LIB}")
install(TARGETS fontseal_cli RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
set(FONTSEAL_LOADER_DIRS /lib /lib64 /usr/lib /usr/lib64 ${CMAKE_PLATFORM_IMPLICIT_LINK_DIRECTORIES})
if(CMAKE_LIBRARY_ARCHITECTURE)
  list(APPEND FONTSEAL_LOADER_DIRS /lib/${CMAKE_LIBRARY_ARCHITECTURE}
    /usr/lib/${CMAKE_LIBRARY_ARCHITECTURE})
endif()
list(REMOVE_DUPLICATES FONTSEAL_LOADER_DIRS)
install(CODE "
  get_filename_component(libdir \"\${CMAKE_INSTALL_PREFIX}/\${FONTSEAL_INSTALL_LIBDIR}\" ABSOLUTE)
  set(loader_dirs \"${FONTSEAL_LOADER_DIRS}\")
  list(FIND loader_dirs \"\${libdir}\" searched)
  if(searched GREATER -1)
    set(cli \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/fontseal\")
    message(STATUS \"No run path: \${cli} (\${libdir} is searched by the loader)\")
    file(RPATH_REMOVE FILE \"\${cli}\")
  endif()
")

# fontseal.pc names the prefix the files were installed under (for the
# Debian packages that is /usr, not their staging directory, DESTDIR).
install(CODE "
  set(prefix \"\${CMAKE_INSTALL_PREFIX}\")
  set(FONTSEAL_VERSION \"${PROJECT_VERSION}\")
  set(FONTSEAL_LIBDIR \"\${FONTSEAL_INSTALL_LIBDIR}\")
  set(FONTSEAL_INCLUDEDIR \"${CMAKE_INSTALL_INCLUDEDIR}\")
  set(pc \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/\${FONTSEAL_INSTALL_LIBDIR}/pkgconfig/fontseal.pc\")
  message(STATUS \"Installing: \${pc}\")
  configure_file(\"${PROJECT_SOURCE_DIR}/packaging/fontseal.pc.in\" \"\${pc}\" @ONLY)
  list(APPEND CMAKE_INSTALL_MANIFEST_FILES \"\${pc}\")
")

# What `cmake --install` puts where (GNU layout under CMAKE_INSTALL_PREFIX): the two programs, the
# stand-in HID library when it is built, the manual pages, the schema of kxb scripts, the bash
# completions, the user guide, the examples, the changelog and the copyright file.

set(KAVELWRITE_PROGRAMS kavelwrite kxb)

# The stand-in library serves only this package's programs, so it lives in a private folder of its
# own rather than among the system's shared libraries: no other program can link it by accident,
# and the loader's cache need not know it. The multiarch form of that folder also keeps CPack
# from adding ldconfig calls to the package, which it does for any library in /usr/lib or directly
# below it.
if(CMAKE_LIBRARY_ARCHITECTURE)
  set(KAVELWRITE_INSTALL_PRIVATE_LIBDIR "lib/${CMAKE_LIBRARY_ARCHITECTURE}/kavelwrite")
else()
  set(KAVELWRITE_INSTALL_PRIVATE_LIBDIR "${CMAKE_INSTALL_LIBDIR}/kavelwrite")
endif()

# The installed programs find the stand-in library through a run path relative to their own
# folder, so the installed tree also works when moved or unpacked somewhere else. Built against
# the maker's library, they look in the folder that library was linked from.
if(TARGET kavelhidapi)
  file(RELATIVE_PATH _kavelwrite_bin_to_lib
    "${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}" "${CMAKE_INSTALL_PREFIX}/${KAVELWRITE_INSTALL_PRIVATE_LIBDIR}")
  set_target_properties(${KAVELWRITE_PROGRAMS} PROPERTIES INSTALL_RPATH "\$ORIGIN/${_kavelwrite_bin_to_lib}")
  # Only what the programs load: the versioned file and its SONAME link; no link for building.
  install(TARGETS kavelhidapi LIBRARY DESTINATION ${KAVELWRITE_INSTALL_PRIVATE_LIBDIR} NAMELINK_SKIP)
  # Symbols are bound when a program starts, so that the relocations can be made read-only.
  target_link_options(kavelhidapi PRIVATE LINKER:-z,relro,-z,now)
else()
  set_target_properties(${KAVELWRITE_PROGRAMS} PROPERTIES INSTALL_RPATH "${KAVELWRITE_HIDAPI_LIBRARY_DIR}")
endif()
foreach(_program IN LISTS KAVELWRITE_PROGRAMS)
  target_link_options(${_program} PRIVATE LINKER:-z,relro,-z,now)
endforeach()

install(TARGETS ${KAVELWRITE_PROGRAMS} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

# Manual pages and the changelog are installed compressed at the highest level, without the
# file's name and time in the header, so that the same sources give the same package.
find_program(KAVELWRITE_GZIP gzip REQUIRED)
set(_kavelwrite_gzipped_files "")
function(kavelwrite_install_gzipped source destination)
  get_filename_component(_name "${source}" NAME)
  set(_gzipped "${PROJECT_BINARY_DIR}/gzipped/${_name}.gz")
  add_custom_command(OUTPUT "${_gzipped}"
    COMMAND ${CMAKE_COMMAND} -E make_directory "${PROJECT_BINARY_DIR}/gzipped"
    COMMAND ${KAVELWRITE_GZIP} -9 -n -c "${source}" > "${_gzipped}"
    DEPENDS "${source}"
    VERBATIM)
  install(FILES "${_gzipped}" DESTINATION "${destination}")
  set(_kavelwrite_gzipped_files ${_kavelwrite_gzipped_files} "${_gzipped}" PARENT_SCOPE)
endfunction()

kavelwrite_install_gzipped(${PROJECT_SOURCE_DIR}/docs/kavelwrite.1 ${CMAKE_INSTALL_MANDIR}/man1)
kavelwrite_install_gzipped(${PROJECT_SOURCE_DIR}/docs/kxb.1 ${CMAKE_INSTALL_MANDIR}/man1)
kavelwrite_install_gzipped(${PROJECT_SOURCE_DIR}/docs/kavelhid-simulation.5 ${CMAKE_INSTALL_MANDIR}/man5)
kavelwrite_install_gzipped(${PROJECT_SOURCE_DIR}/docs/kavelwrite-history.5 ${CMAKE_INSTALL_MANDIR}/man5)
kavelwrite_install_gzipped(${PROJECT_SOURCE_DIR}/packaging/changelog ${CMAKE_INSTALL_DOCDIR})
add_custom_target(kavelwrite_gzipped ALL DEPENDS ${_kavelwrite_gzipped_files})

# The schema of kxb scripts, where XML tools look for schemas; kxb backup names it in its scripts.
install(FILES ${KAVELWRITE_SCHEMA} DESTINATION ${CMAKE_INSTALL_DATADIR}/xml/kavelwrite)

# bash-completion loads completions on demand from this folder, named after the command; kxb's
# completion reads kavelwrite's from beside itself.
install(FILES ${PROJECT_SOURCE_DIR}/completion/kavelwrite ${PROJECT_SOURCE_DIR}/completion/kxb
  DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)

install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/docs/guide.md
  ${PROJECT_SOURCE_DIR}/packaging/copyright
  DESTINATION ${CMAKE_INSTALL_DOCDIR})
# Scripts and virtual keyboards, but no log file a run left beside them.
install(DIRECTORY ${PROJECT_SOURCE_DIR}/examples/ DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples
  FILES_MATCHING PATTERN "*.kxb" PATTERN "*.xml" PATTERN "*.md")

# What `cmake --install` puts where (GNU layout under CMAKE_INSTALL_PREFIX): the program, the
# stand-in HID library when it is built, the manual pages, the bash completion, the user guide and
# the examples.

# The installed program finds the stand-in library beside it, relative to its own folder, so the
# installed tree also works when moved or unpacked somewhere else. Built against the maker's
# library, it looks in the folder that library was linked from.
if(TARGET kavelhidapi)
  file(RELATIVE_PATH _kavelwrite_bin_to_lib
    "${CMAKE_INSTALL_FULL_BINDIR}" "${CMAKE_INSTALL_FULL_LIBDIR}")
  set_target_properties(kavelwrite PROPERTIES INSTALL_RPATH "\$ORIGIN/${_kavelwrite_bin_to_lib}")
  # Only what the program loads: the versioned file and its SONAME link; no link for building.
  install(TARGETS kavelhidapi LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} NAMELINK_SKIP)
else()
  set_target_properties(kavelwrite PROPERTIES INSTALL_RPATH "${KAVELWRITE_HIDAPI_LIBRARY_DIR}")
endif()

install(TARGETS kavelwrite RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

install(FILES ${PROJECT_SOURCE_DIR}/docs/kavelwrite.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${PROJECT_SOURCE_DIR}/docs/kavelhid-simulation.5 DESTINATION ${CMAKE_INSTALL_MANDIR}/man5)

# bash-completion loads completions on demand from this folder, named after the command.
install(FILES ${PROJECT_SOURCE_DIR}/completion/kavelwrite
  DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)

install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/docs/guide.md
  DESTINATION ${CMAKE_INSTALL_DOCDIR})
# Scripts and virtual keyboards, but no log file a run left beside them.
install(DIRECTORY ${PROJECT_SOURCE_DIR}/examples/ DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples
  FILES_MATCHING PATTERN "*.kxb" PATTERN "*.xml" PATTERN "*.md")

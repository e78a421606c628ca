# Install rules and packages: a Debian package from the Linux build, a zip
# from the Windows build. Only what a user runs or reads is installed: no
# test programs, no developer tools.
include(GNUInstallDirs)

set(PELAGO_PACKAGE_NAME pelagoxcon)
set(CPACK_PACKAGE_NAME ${PELAGO_PACKAGE_NAME})
set(CPACK_PACKAGE_VENDOR "Quorvane")
set(CPACK_PACKAGE_CONTACT "PelagoXcon developers <support@quorvane.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "maintenance tool for the Quorvane EF/GFX and CONTAX645/GFX lens adapter")
set(CPACK_STRIP_FILES ON)

# The one-file page (PELAGO_ONE_FILE_PAGE) comes from another preset: an
# install without it installs the rest, while both packages ship it, so
# packaging fails with what to build when it is missing.
set(pelago_build_page "cmake --preset wasm && cmake --build --preset wasm")
set(pelago_require_page ${CMAKE_BINARY_DIR}/RequirePage.cmake)
file(WRITE ${pelago_require_page} "if(NOT EXISTS \"${PELAGO_ONE_FILE_PAGE}\")
  message(FATAL_ERROR \"${PELAGO_ONE_FILE_PAGE} is not built: ${pelago_build_page}\")
endif()
")
set(CPACK_PRE_BUILD_SCRIPTS ${pelago_require_page})
install(CODE "
  if(NOT EXISTS \"${PELAGO_ONE_FILE_PAGE}\")
    message(STATUS \"Not installing the web page: ${PELAGO_ONE_FILE_PAGE} is not built (${pelago_build_page})\")
  endif()")

if(WIN32)
  # One folder with the program and a README Notepad shows as it should.
  set(pelago_windows_readme ${CMAKE_BINARY_DIR}/README.txt)
  file(READ ${PROJECT_SOURCE_DIR}/doc/README-windows.txt pelago_readme_text)
  string(REPLACE "\n" "\r\n" pelago_readme_text "${pelago_readme_text}")
  file(WRITE ${pelago_windows_readme} "${pelago_readme_text}")
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/doc/README-windows.txt)

  install(TARGETS PelagoXcon pelagoxcon-focus RUNTIME DESTINATION .)
  install(FILES ${pelago_windows_readme} DESTINATION .)
  install(FILES ${PELAGO_ONE_FILE_PAGE} DESTINATION . OPTIONAL)

  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME ${PELAGO_PACKAGE_NAME}-${PROJECT_VERSION}-win64)
else()
  # The package's own revision of this version; doc/debian/changelog's
  # latest entry must name the two, so a new version cannot ship an old
  # changelog.
  set(PELAGO_DEBIAN_REVISION 1)
  set(pelago_deb_version ${PROJECT_VERSION}-${PELAGO_DEBIAN_REVISION})
  set(pelago_changelog ${PROJECT_SOURCE_DIR}/doc/debian/changelog)
  file(STRINGS ${pelago_changelog} pelago_changelog_top LIMIT_COUNT 1)
  if(NOT pelago_changelog_top MATCHES "^${PELAGO_PACKAGE_NAME} \\(${pelago_deb_version}\\) ")
    message(FATAL_ERROR "doc/debian/changelog's latest entry is not for ${pelago_deb_version}: "
                        "${pelago_changelog_top}")
  endif()

  # Debian wants man pages and the changelog compressed at the highest level,
  # without a name or time stamp in the gzip header (gzip -9n).
  find_program(PELAGO_GZIP gzip REQUIRED)
  function(pelago_gzip source target)
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${source})
    execute_process(COMMAND ${PELAGO_GZIP} -9n INPUT_FILE ${source} OUTPUT_FILE ${target}
                    RESULT_VARIABLE failed)
    if(failed)
      message(FATAL_ERROR "gzip failed on ${source}")
    endif()
  endfunction()
  set(pelago_gz_dir ${CMAKE_BINARY_DIR}/package-docs)
  file(MAKE_DIRECTORY ${pelago_gz_dir})
  foreach(page PelagoXcon.1 pelagoxcon-virtual-adapter.1 pelagoxcon-page.1 pelagoxcon-focus.1
               pelagoxcon-virtual-camera.1)
    pelago_gzip(${PROJECT_SOURCE_DIR}/doc/${page} ${pelago_gz_dir}/${page}.gz)
  endforeach()
  pelago_gzip(${pelago_changelog} ${pelago_gz_dir}/changelog.Debian.gz)

  # The source README speaks of build/ and scripts/; installed users get
  # their own, beside the copyright and the changelog; without the page
  # (installed below only when built) one that has neither the page's
  # section nor the lines of "What is installed" that name it.
  set(pelago_doc_dir ${CMAKE_INSTALL_DATADIR}/doc/${PELAGO_PACKAGE_NAME})
  set(pelago_readme ${PROJECT_SOURCE_DIR}/doc/README-installed)
  set(pelago_readme_no_page ${pelago_gz_dir}/README-without-page)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${pelago_readme})
  file(READ ${pelago_readme} pelago_text)
  # The section runs from its heading to the next (a line underlined with dashes).
  string(FIND "${pelago_text}" "\nThe web page\n---" pelago_from)
  if(pelago_from GREATER_EQUAL 0)
    string(SUBSTRING "${pelago_text}" ${pelago_from} -1 pelago_rest)
    string(REGEX REPLACE "^\n[^\n]+\n-+\n" "" pelago_rest "${pelago_rest}")
    string(REGEX MATCH "\n[^\n]+\n-+\n" pelago_next "${pelago_rest}")
  endif()
  if(NOT pelago_next)
    message(FATAL_ERROR "${pelago_readme} has no section \"The web page\" followed by another")
  endif()
  string(FIND "${pelago_rest}" "${pelago_next}" pelago_to)
  string(SUBSTRING "${pelago_text}" 0 ${pelago_from} pelago_before)
  string(SUBSTRING "${pelago_rest}" ${pelago_to} -1 pelago_after)
  string(REGEX REPLACE "\n    [^\n]*(pelagoxcon-page|PelagoXcon\\.html)[^\n]*" ""
         pelago_text "${pelago_before}${pelago_after}")
  if(pelago_text MATCHES "pelagoxcon-page|PelagoXcon\\.html")
    message(FATAL_ERROR "${pelago_readme} names the page outside its section and the list of what is installed")
  endif()
  file(WRITE ${pelago_readme_no_page} "${pelago_text}")
  install(FILES doc/debian/copyright ${pelago_gz_dir}/changelog.Debian.gz DESTINATION ${pelago_doc_dir})
  install(FILES doc/debian/lintian-overrides DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides
          RENAME ${PELAGO_PACKAGE_NAME})
  install(FILES samples/lenses.dat DESTINATION ${CMAKE_INSTALL_DATADIR}/${PELAGO_PACKAGE_NAME}/samples)

  install(TARGETS PelagoXcon RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES ${pelago_gz_dir}/PelagoXcon.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

  # The web page in the desktop's menu, when it is built: its entry runs a
  # launcher that opens the page under the launcher's own prefix
  # (bin/../share/pelagoxcon) in the user's browser. The README tells of
  # the page only then.
  set(pelago_to "\${CMAKE_INSTALL_PREFIX}")
  install(CODE "
    if(NOT EXISTS \"${PELAGO_ONE_FILE_PAGE}\")
      file(INSTALL DESTINATION \"${pelago_to}/${pelago_doc_dir}\" TYPE FILE FILES \"${pelago_readme_no_page}\"
           RENAME README)
    else()
      file(INSTALL DESTINATION \"${pelago_to}/${pelago_doc_dir}\" TYPE FILE FILES \"${pelago_readme}\" RENAME README)
      file(INSTALL DESTINATION \"${pelago_to}/${CMAKE_INSTALL_DATADIR}/${PELAGO_PACKAGE_NAME}\" TYPE FILE
           FILES \"${PELAGO_ONE_FILE_PAGE}\")
      file(INSTALL DESTINATION \"${pelago_to}/${CMAKE_INSTALL_BINDIR}\" TYPE PROGRAM
           FILES \"${PROJECT_SOURCE_DIR}/doc/pelagoxcon-page\")
      file(INSTALL DESTINATION \"${pelago_to}/${CMAKE_INSTALL_MANDIR}/man1\" TYPE FILE
           FILES \"${pelago_gz_dir}/pelagoxcon-page.1.gz\")
      file(INSTALL DESTINATION \"${pelago_to}/${CMAKE_INSTALL_DATADIR}/applications\" TYPE FILE
           FILES \"${PROJECT_SOURCE_DIR}/doc/pelagoxcon.desktop\")
      file(INSTALL DESTINATION \"${pelago_to}/${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps\" TYPE FILE
           FILES \"${PROJECT_SOURCE_DIR}/web/icon.svg\" RENAME ${PELAGO_PACKAGE_NAME}.svg)
    endif()")

  # The virtual adapter under a name that says what it is; the build tree
  # keeps adapter-sim, the name its tests and scripts use.
  add_executable(pelagoxcon-virtual-adapter sim/main.cpp)
  target_link_libraries(pelagoxcon-virtual-adapter PRIVATE adapter_sim)
  set_target_properties(pelagoxcon-virtual-adapter PROPERTIES
                        RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/install-names)
  install(TARGETS pelagoxcon-virtual-adapter RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES ${pelago_gz_dir}/pelagoxcon-virtual-adapter.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

  # The focus assistant, and the virtual camera under its installed name.
  install(TARGETS pelagoxcon-focus RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  add_executable(pelagoxcon-virtual-camera sim/camera_main.cpp)
  target_link_libraries(pelagoxcon-virtual-camera PRIVATE camera_sim_lib)
  set_target_properties(pelagoxcon-virtual-camera PROPERTIES
                        RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/install-names)
  install(TARGETS pelagoxcon-virtual-camera RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES ${pelago_gz_dir}/pelagoxcon-focus.1.gz ${pelago_gz_dir}/pelagoxcon-virtual-camera.1.gz
          DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_DEBIAN_PACKAGE_NAME ${PELAGO_PACKAGE_NAME})
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_RELEASE ${PELAGO_DEBIAN_REVISION})
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_RECOMMENDS xdg-utils)
  set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
      "PelagoXcon finds the adapter on a serial port and drives its boot monitor:
it shows the adapter's identity, resets it, updates its firmware with
checksum verification, and saves and restores its 4 KB settings area.
Without an adapter it prints a saved settings file or tunes each lens's
autofocus corrections; pelagoxcon-focus finds the right correction from
photos of a printed chart. A virtual adapter and a virtual camera let the
tools be tried without hardware. The same tool as a web page opens from
the desktop's menu.")
endif()

include(CPack)

# The version every artefact reports, what `cmake --install` puts where, and the packages:
# a Debian package of the varnel command (`cpack -G DEB` in the default build) and a zip of
# xp_varnel.dll with its SQL scripts (`cpack -G ZIP` in the windows build).
include(GNUInstallDirs)

# VarnelVersion.h: one source of the version for the command and the DLL's resource.
foreach(part MINOR PATCH)
  if("${PROJECT_VERSION_${part}}" STREQUAL "")
    set(VARNEL_VERSION_${part}_NUMBER 0)
  else()
    set(VARNEL_VERSION_${part}_NUMBER ${PROJECT_VERSION_${part}})
  endif()
endforeach()
set(VARNEL_GENERATED_DIR ${CMAKE_BINARY_DIR}/generated)
configure_file(${CMAKE_SOURCE_DIR}/cmake/VarnelVersion.h.in ${VARNEL_GENERATED_DIR}/VarnelVersion.h @ONLY)
if(TARGET varnel_host)
  target_include_directories(varnel_host PUBLIC ${VARNEL_GENERATED_DIR})
endif()

set(VARNEL_PACKAGING_DIR ${CMAKE_SOURCE_DIR}/packaging)
set(CPACK_PACKAGE_NAME varnel)
set(CPACK_PACKAGE_VENDOR Varnel)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Varnel maintainers <maintainers@varnel.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "send e-mail from T-SQL: the xp_Varnel procedure as a command")
string(CONCAT CPACK_PACKAGE_DESCRIPTION
  "varnel runs one EXEC statement of the xp_Varnel extended stored procedure\n"
  "in its own process, as SQL Server would: it sends one message through an\n"
  "SMTP relay, with copies, attachments and the result sets of a query run\n"
  "through ODBC as text, HTML tables or CSV. Meant for job schedulers on Linux\n"
  "and for SQL Server installations that cannot load extended procedures.")
set(CPACK_STRIP_FILES ON)

if(WIN32)
  # FILEVERSION and the version strings of xp_varnel.dll.
  target_sources(xp_varnel PRIVATE ${CMAKE_SOURCE_DIR}/dll/xp_varnel.rc)
  target_include_directories(xp_varnel PRIVATE ${VARNEL_GENERATED_DIR})
  if(TARGET xp_host)
    # The test host reads that resource back as the file properties do.
    target_link_libraries(xp_host PRIVATE version)
  endif()

  # The zip is read on Windows: its texts get CR LF line ends.
  set(VARNEL_WINDOWS_TEXTS README.txt install.sql uninstall.sql varnel-settings.reg)
  foreach(text ${VARNEL_WINDOWS_TEXTS})
    configure_file(${VARNEL_PACKAGING_DIR}/windows/${text} ${CMAKE_BINARY_DIR}/package/${text} @ONLY NEWLINE_STYLE CRLF)
    install(FILES ${CMAKE_BINARY_DIR}/package/${text} DESTINATION .)
  endforeach()
  install(TARGETS xp_varnel RUNTIME DESTINATION .)

  set(CPACK_GENERATOR ZIP)
  set(CPACK_SYSTEM_NAME win64)
elseif(TARGET varnel)
  install(TARGETS varnel RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  # A stripped install (`cmake --install --strip`, and the package) also drops the
  # compilers' .comment notes, as Debian's own packages do.
  install(CODE "
    if(CMAKE_INSTALL_DO_STRIP)
      execute_process(COMMAND \"${CMAKE_STRIP}\" --remove-section=.comment --remove-section=.note
        \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/varnel\" COMMAND_ERROR_IS_FATAL ANY)
    endif()")

  # The package is native (built from this tree, no Debian revision): its changelog is
  # changelog.gz (Debian Policy 12.7). The manual page and the changelog go out compressed,
  # without a name or time stamp in the gzip header (the same sources give the same bytes).
  find_program(VARNEL_GZIP gzip REQUIRED)
  set(VARNEL_PACKAGE_DIR ${CMAKE_BINARY_DIR}/package)
  add_custom_command(OUTPUT ${VARNEL_PACKAGE_DIR}/varnel.1.gz
    COMMAND ${CMAKE_COMMAND} -E make_directory ${VARNEL_PACKAGE_DIR}
    COMMAND ${VARNEL_GZIP} -n9 -c ${VARNEL_PACKAGING_DIR}/man/varnel.1 > ${VARNEL_PACKAGE_DIR}/varnel.1.gz
    DEPENDS ${VARNEL_PACKAGING_DIR}/man/varnel.1 VERBATIM)
  add_custom_command(OUTPUT ${VARNEL_PACKAGE_DIR}/changelog.gz
    COMMAND ${CMAKE_COMMAND} -E make_directory ${VARNEL_PACKAGE_DIR}
    COMMAND ${VARNEL_GZIP} -n9 -c ${VARNEL_PACKAGING_DIR}/debian/changelog > ${VARNEL_PACKAGE_DIR}/changelog.gz
    DEPENDS ${VARNEL_PACKAGING_DIR}/debian/changelog VERBATIM)
  add_custom_target(varnel_package_files ALL
    DEPENDS ${VARNEL_PACKAGE_DIR}/varnel.1.gz ${VARNEL_PACKAGE_DIR}/changelog.gz)

  install(FILES ${VARNEL_PACKAGE_DIR}/varnel.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  # Debian's place for a package's documents: share/doc/<package>, named in lower case.
  set(VARNEL_DOC_DIR ${CMAKE_INSTALL_DATAROOTDIR}/doc/varnel)
  install(FILES ${CMAKE_SOURCE_DIR}/README.md ${VARNEL_PACKAGING_DIR}/debian/copyright
    ${VARNEL_PACKAGE_DIR}/changelog.gz DESTINATION ${VARNEL_DOC_DIR})
  install(DIRECTORY ${VARNEL_PACKAGING_DIR}/settings/ DESTINATION ${VARNEL_DOC_DIR}/examples/settings)

  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION mail)
  # Depends comes from the libraries the binary links (dpkg-shlibdeps): unixODBC's
  # libodbc2, the C library; nothing written by hand to drift. OpenSSL's libssl is loaded
  # with dlopen on first TLS use, which dpkg-shlibdeps cannot see: named here (libssl3t64
  # is its name on distributions with 64-bit time_t).
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libssl3 (>= 3.0.0) | libssl3t64")
  # The default driver of the query runner; other drivers serve as well.
  set(CPACK_DEBIAN_PACKAGE_RECOMMENDS libsqliteodbc)
  set(CPACK_DEBIAN_PACKAGE_SUGGESTS "odbc-postgresql, tdsodbc")
endif()

include(CPack)

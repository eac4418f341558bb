# The Debian package: both programs, the key tool, the service's unit and the
# client's menu entry, as a gamer installs them (`cpack` in the Linux build).
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME zentravolk)
set(CPACK_PACKAGE_VENDOR "ZENTRAVOLK COM LLC")
set(CPACK_PACKAGE_CONTACT "ZENTRAVOLK COM LLC <support@zentravolk.com>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "game accelerator: a game's traffic through a WireGuard tunnel")
set(CPACK_PACKAGE_DESCRIPTION
    "Sign in, pick a game and press 开始加速: the game's traffic runs through a
WireGuard tunnel to an acceleration node until 停止加速. The desktop client
and the privileged service that owns the tunnel.")
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)  # it carries no game of its own
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE https://www.zentravolk.com)
# The libraries from what the programs link; the tunnel helper and the unit's helpers by name.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "wireguard-go, init-system-helpers (>= 1.54~)")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "fonts-noto-cjk | fonts-wqy-microhei")
foreach(script postinst prerm postrm)
  configure_file(${CMAKE_CURRENT_LIST_DIR}/debian/${script}.in ${CMAKE_BINARY_DIR}/debian/${script} @ONLY
                 FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
  list(APPEND CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_BINARY_DIR}/debian/${script})
endforeach()
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)

# What Debian asks of every package: its copyright, its changelog and a manual
# page for the program on the path, compressed as dpkg expects them; and the
# client's AppStream entry, which software centres list.
set(_zv_doc ${CMAKE_BINARY_DIR}/debian/doc)
file(MAKE_DIRECTORY ${_zv_doc})
configure_file(${CMAKE_CURRENT_LIST_DIR}/debian/changelog.in ${_zv_doc}/changelog @ONLY)
configure_file(${CMAKE_CURRENT_LIST_DIR}/debian/zentravolk-client.1 ${_zv_doc}/zentravolk-client.1 @ONLY)
configure_file(${CMAKE_CURRENT_LIST_DIR}/debian/com.zentravolk.client.metainfo.xml ${_zv_doc}/com.zentravolk.client.metainfo.xml
               @ONLY)
foreach(page changelog zentravolk-client.1)
  execute_process(COMMAND gzip -9nf -k ${_zv_doc}/${page})
endforeach()
install(FILES ${CMAKE_CURRENT_LIST_DIR}/debian/copyright ${_zv_doc}/changelog.gz DESTINATION share/doc/zentravolk)
install(FILES ${_zv_doc}/zentravolk-client.1.gz DESTINATION share/man/man1)
install(FILES ${_zv_doc}/com.zentravolk.client.metainfo.xml DESTINATION share/metainfo)
set(CPACK_OUTPUT_FILE_PREFIX ${CMAKE_BINARY_DIR}/packages)
include(CPack)

if(ZV_BUILD_TESTS)
  # The .deb built and judged once; then installed on each Debian release, booted
  # in a container of its own (its first run makes that release's root).
  add_test(NAME deb_checks COMMAND ${ZV_SCRATCH_HOME} ${CMAKE_CURRENT_LIST_DIR}/tests/deb_checks.sh ${CMAKE_BINARY_DIR})
  set_tests_properties(deb_checks PROPERTIES LABELS package FIXTURES_SETUP deb)
  foreach(release bookworm trixie)
    add_test(NAME booted_machine_${release}
             COMMAND ${ZV_SCRATCH_HOME} ${CMAKE_CURRENT_LIST_DIR}/tests/booted_machine.sh ${CMAKE_BINARY_DIR} ${release})
    set_tests_properties(booted_machine_${release} PROPERTIES LABELS package RUN_SERIAL ON TIMEOUT 900 FIXTURES_REQUIRED deb)
  endforeach()
endif()

# The Debian package: both programs, the key tool, the service's unit and the
# client's menu entry, as a gamer installs them (`cpack` in the Linux build).
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME zentravolk)
set(CPACK_PACKAGE_VENDOR "ZENTRAVOLK COM LLC")
set(CPACK_PACKAGE_CONTACT "ZENTRAVOLK COM LLC <support@zentravolk.com>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "game accelerator: a game's traffic through a WireGuard tunnel")
set(CPACK_PACKAGE_DESCRIPTION
    "Sign in, pick a game and press 开始加速: the game's traffic runs through a WireGuard tunnel to an
acceleration node until 停止加速. The desktop client and the privileged service that owns the tunnel.")
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION games)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE https://www.zentravolk.com)
# The libraries from what the programs link; the tunnel helper and the unit's helpers by name.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "wireguard-go, init-system-helpers")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "fonts-noto-cjk | fonts-wqy-microhei")
foreach(script postinst prerm postrm)
  configure_file(${CMAKE_CURRENT_LIST_DIR}/debian/${script}.in ${CMAKE_BINARY_DIR}/debian/${script} @ONLY
                 FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
  list(APPEND CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_BINARY_DIR}/debian/${script})
endforeach()
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
set(CPACK_OUTPUT_FILE_PREFIX ${CMAKE_BINARY_DIR}/packages)
include(CPack)

if(ZV_BUILD_TESTS)
  # Installs on this machine and removes again, so nothing else runs beside it.
  add_test(NAME deb_package COMMAND ${ZV_SCRATCH_HOME} ${CMAKE_CURRENT_LIST_DIR}/tests/deb_checks.sh ${CMAKE_BINARY_DIR})
  set_tests_properties(deb_package PROPERTIES LABELS package RUN_SERIAL ON TIMEOUT 300)
endif()

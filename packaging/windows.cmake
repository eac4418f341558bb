# The Windows installer (NSIS), built with the programs: zentravolk-setup-VERSION.exe.
find_program(ZV_MAKENSIS makensis REQUIRED)
set(ZV_INSTALLER ${CMAKE_BINARY_DIR}/packages/zentravolk-setup-${PROJECT_VERSION}.exe)
set(ZV_ICON ${PROJECT_SOURCE_DIR}/client/resources/zentravolk.ico)
set(ZV_SERVICE_EXE $<TARGET_FILE:accelerator-service>)
set(ZV_CLIENT_EXE $<TARGET_FILE:zentravolk-client>)
set(ZV_KEY_TOOL_EXE $<TARGET_FILE:orvekind>)
# Unpacked only while the installer runs: starts the client again, after an update, through the user's shell.
add_executable(user_start WIN32 ${CMAKE_CURRENT_LIST_DIR}/windows/user_start.cpp)
target_link_libraries(user_start PRIVATE ole32 oleaut32 uuid shell32)
target_link_options(user_start PRIVATE -municode -static)
set(ZV_USER_START_EXE $<TARGET_FILE:user_start>)
configure_file(${CMAKE_CURRENT_LIST_DIR}/windows/zentravolk.nsi.in ${CMAKE_BINARY_DIR}/zentravolk.nsi.in @ONLY)
file(GENERATE OUTPUT ${CMAKE_BINARY_DIR}/zentravolk.nsi INPUT ${CMAKE_BINARY_DIR}/zentravolk.nsi.in)
add_custom_command(
  OUTPUT ${ZV_INSTALLER}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/packages
  COMMAND ${ZV_MAKENSIS} -V2 ${CMAKE_BINARY_DIR}/zentravolk.nsi
  DEPENDS ${CMAKE_BINARY_DIR}/zentravolk.nsi accelerator-service zentravolk-client orvekind user_start ${ZV_ICON}
  VERBATIM)
add_custom_target(installer ALL DEPENDS ${ZV_INSTALLER})

if(ZV_BUILD_TESTS)
  # Helpers of the installer's roads: a program that holds a file or the service a while, a key tool
  # that prints a given pair, and a launcher with the standard user's token.
  add_executable(file_holder ${CMAKE_CURRENT_LIST_DIR}/tests/file_holder.cpp)
  target_link_options(file_holder PRIVATE -municode)
  add_executable(key_tool_stand_in ${CMAKE_CURRENT_LIST_DIR}/tests/key_tool_stand_in.cpp)
  add_executable(as_standard_user ${CMAKE_CURRENT_LIST_DIR}/tests/as_standard_user.cpp)
  target_link_options(as_standard_user PRIVATE -municode)
  # Installed under wine with the tests' stand-in for wireguard.dll, upgraded, and removed again.
  add_test(NAME windows_installer
           COMMAND ${CMAKE_CURRENT_LIST_DIR}/tests/installer_checks.sh ${ZV_INSTALLER} $<TARGET_FILE:fake_wireguard>
                   ${PROJECT_SOURCE_DIR}/client/client_windows_checks.sh $<TARGET_FILE:close_window>
                   $<TARGET_FILE:zentravolk-acceptance> $<TARGET_FILE:key_tool_stand_in> $<TARGET_FILE:file_holder>
                   $<TARGET_FILE:accelerator-service> $<TARGET_FILE:as_standard_user>)
  set_tests_properties(windows_installer PROPERTIES LABELS windows TIMEOUT 300 RESOURCE_LOCK wine_service_manager)
endif()

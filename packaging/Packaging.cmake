# The installed layout and the two Debian packages: kestrel (the window and
# the console program) and kestrel-sim (the virtual device, for testing only).
# bash scripts/package.sh configures with KESTREL_PACKAGE=ON and runs cpack.

# The USB test reads the rule beside the build, as the package installs it.
configure_file(${CMAKE_SOURCE_DIR}/packaging/70-kestrel.rules ${CMAKE_BINARY_DIR}/70-kestrel.rules COPYONLY)

option(KESTREL_PACKAGE "Make the manual pages, icons and completion the packages install" OFF)
if(NOT KESTREL_PACKAGE)
  return()
endif()
if(NOT TARGET kestrel OR NOT TARGET kestrel-cli OR NOT TARGET kestrel-sim)
  message(FATAL_ERROR "The packages need kestrel, kestrel-cli and kestrel-sim: configure with KESTREL_DESKTOP=ON")
endif()
find_program(KESTREL_RSVG rsvg-convert REQUIRED)
find_program(KESTREL_GZIP gzip REQUIRED)

set(pkg ${CMAKE_BINARY_DIR}/pkg)
set(icon_svg ${CMAKE_SOURCE_DIR}/skin/images/kestrel-mark.svg)
set(icon_sizes 16 32 48 64 128 256)

# Made by the programs themselves, so the pages and the completion follow the
# option tables; gzip -n keeps the files the same from one build to the next.
set(generated ${pkg}/kestrel.1.gz ${pkg}/kestrel-cli.1.gz ${pkg}/kestrel-sim.1.gz ${pkg}/kestrel-cli.bash
    ${pkg}/changelog.Debian.gz)
add_custom_command(
  OUTPUT ${generated}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${pkg}
  COMMAND sh -c "$<TARGET_FILE:kestrel> --man | ${KESTREL_GZIP} -9n > kestrel.1.gz"
  COMMAND sh -c "$<TARGET_FILE:kestrel-cli> help --man | ${KESTREL_GZIP} -9n > kestrel-cli.1.gz"
  COMMAND sh -c "sh ${CMAKE_SOURCE_DIR}/packaging/help-to-man.sh $<TARGET_FILE:kestrel-sim> kestrel-sim \
'virtual pass-thru device with local web services' | ${KESTREL_GZIP} -9n > kestrel-sim.1.gz"
  COMMAND sh -c "$<TARGET_FILE:kestrel-cli> completion bash > kestrel-cli.bash"
  COMMAND sh -c "${KESTREL_GZIP} -9n < ${CMAKE_SOURCE_DIR}/packaging/changelog > changelog.Debian.gz"
  DEPENDS kestrel kestrel-cli kestrel-sim ${CMAKE_SOURCE_DIR}/packaging/changelog
          ${CMAKE_SOURCE_DIR}/packaging/help-to-man.sh
  WORKING_DIRECTORY ${pkg}
  COMMENT "Writing the manual pages, the bash completion and the changelog"
  VERBATIM)
set(icons)
foreach(size IN LISTS icon_sizes)
  add_custom_command(
    OUTPUT ${pkg}/icons/${size}/kestrel.png
    COMMAND ${CMAKE_COMMAND} -E make_directory ${pkg}/icons/${size}
    COMMAND ${KESTREL_RSVG} -w ${size} -h ${size} -o ${pkg}/icons/${size}/kestrel.png ${icon_svg}
    DEPENDS ${icon_svg}
    VERBATIM)
  list(APPEND icons ${pkg}/icons/${size}/kestrel.png)
  install(FILES ${pkg}/icons/${size}/kestrel.png
          DESTINATION share/icons/hicolor/${size}x${size}/apps COMPONENT kestrel)
endforeach()
add_custom_target(kestrel_package_files ALL DEPENDS ${generated} ${icons})

# The changelog's newest entry names the version the packages get.
file(STRINGS ${CMAKE_SOURCE_DIR}/packaging/changelog changelog_head LIMIT_COUNT 1)
if(NOT changelog_head MATCHES "^kestrel \\(${PROJECT_VERSION}-([0-9]+)\\)")
  message(FATAL_ERROR "packaging/changelog must start with kestrel (${PROJECT_VERSION}-N): ${changelog_head}")
endif()
set(CPACK_DEBIAN_PACKAGE_RELEASE ${CMAKE_MATCH_1})

install(TARGETS kestrel kestrel-cli RUNTIME DESTINATION bin COMPONENT kestrel)
install(DIRECTORY ${CMAKE_SOURCE_DIR}/skin/xml ${CMAKE_SOURCE_DIR}/skin/images
        DESTINATION share/kestrel/skin COMPONENT kestrel)
install(FILES ${CMAKE_SOURCE_DIR}/config/set.ini DESTINATION share/kestrel COMPONENT kestrel)
install(FILES ${CMAKE_SOURCE_DIR}/packaging/kestrel.desktop DESTINATION share/applications COMPONENT kestrel)
install(FILES ${icon_svg} DESTINATION share/icons/hicolor/scalable/apps RENAME kestrel.svg COMPONENT kestrel)
install(FILES ${CMAKE_SOURCE_DIR}/packaging/70-kestrel.rules DESTINATION lib/udev/rules.d COMPONENT kestrel)
install(FILES ${CMAKE_SOURCE_DIR}/packaging/services.ini DESTINATION /etc/kestrel COMPONENT kestrel)
install(FILES ${pkg}/kestrel.1.gz ${pkg}/kestrel-cli.1.gz DESTINATION share/man/man1 COMPONENT kestrel)
install(FILES ${pkg}/kestrel-cli.bash DESTINATION share/bash-completion/completions RENAME kestrel-cli
        COMPONENT kestrel)
install(TARGETS kestrel-sim RUNTIME DESTINATION bin COMPONENT sim)
install(FILES ${pkg}/kestrel-sim.1.gz DESTINATION share/man/man1 COMPONENT sim)
foreach(component_package kestrel:kestrel sim:kestrel-sim)
  string(REPLACE ":" ";" pair ${component_package})
  list(GET pair 0 component)
  list(GET pair 1 package)
  install(FILES ${pkg}/changelog.Debian.gz ${CMAKE_SOURCE_DIR}/packaging/copyright
          DESTINATION share/doc/${package} COMPONENT ${component})
endforeach()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kestrel)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL kestrel sim)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Kestrel maintainers <maintainers@users.noreply.c-seed-69f811a7.example>")
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_KESTREL_PACKAGE_NAME kestrel)
set(CPACK_DEBIAN_SIM_PACKAGE_NAME kestrel-sim)
set(CPACK_DEBIAN_KESTREL_PACKAGE_CONTROL_EXTRA ${CMAKE_SOURCE_DIR}/packaging/conffiles)
set(CPACK_DEBIAN_KESTREL_PACKAGE_CONTROL_STRICT_PERMISSION ON)
string(CONCAT CPACK_COMPONENT_KESTREL_DESCRIPTION
    "manager for a vehicle-diagnostic pass-thru device\n"
    "Finds the pass-thru device on USB, the LAN, Wi-Fi or Bluetooth, reads its\n"
    "serial number and software versions, compares them with the newest ones\n"
    "the maker's web services announce, upgrades its two firmware images and\n"
    "its embedded system, and sets the device's own Wi-Fi network.\n"
    "This package holds the desktop program kestrel and the command-line\n"
    "program kestrel-cli.")
string(CONCAT CPACK_COMPONENT_SIM_DESCRIPTION
    "virtual pass-thru device for testing Kestrel\n"
    "A model of the pass-thru device with local web services, bound to\n"
    "loopback: kestrel and kestrel-cli find, read and upgrade it as they would\n"
    "the real device. It is a tool for testing, not for the bench.")
include(CPack)

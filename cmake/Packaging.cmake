# The application as it is installed and packaged: the resource directory (information
# dictionary, session script, stamp, logos), then on Linux the binary, the desktop entry, the
# icons and the AppStream metadata with a Debian package made by CPack, and on macOS the
# application bundle.
include(GNUInstallDirs)

set(QUORVANTIS_APP_ID "dev.quorvantis.Companion")
# The date of the release PROJECT_VERSION names, for the AppStream release list.
set(QUORVANTIS_RELEASE_DATE "2026-12-06")
set(quorvantis_packaging "${PROJECT_SOURCE_DIR}/packaging")
set(quorvantis_artwork "${PROJECT_SOURCE_DIR}/src/ui/resources/QuorvantisMark.svg")

# ---- the information dictionary -----------------------------------------------------------
# The version, and each configuration key that was given; an absent key leaves the built-in
# default (or, for the onboarding service, the agent's own configuration) in force.
set(quorvantis_info_keys
  QuorvantisOnboardingServiceURL QUORVANTIS_ONBOARDING_SERVICE_URL
  QuorvantisRegistryURL QUORVANTIS_REGISTRY_URL
  QuorvantisReleasesURL QUORVANTIS_RELEASES_URL)
set(quorvantis_info_json "  \"CFBundleShortVersionString\": \"${PROJECT_VERSION}\"")
set(QUORVANTIS_INFO_PLIST_KEYS "")
while(quorvantis_info_keys)
  list(POP_FRONT quorvantis_info_keys key variable)
  string(STRIP "${${variable}}" value)
  if(value STREQUAL "")
    continue()
  endif()
  if(value MATCHES "[\"\\\\<>&]")
    message(FATAL_ERROR "${variable} must be a plain URL")
  endif()
  string(APPEND quorvantis_info_json ",\n  \"${key}\": \"${value}\"")
  string(APPEND QUORVANTIS_INFO_PLIST_KEYS "  <key>${key}</key>\n  <string>${value}</string>\n")
endwhile()
# The agent's components this package is built with: the application tells a component that was
# never packaged (it names what the package lacks) from one that was shipped and has gone since
# (reinstalling helps). The session script is required: without it no installation can start.
set(quorvantis_packaged_components)
if(QUORVANTIS_SESSION_SCRIPT)
  list(APPEND quorvantis_packaged_components sessionScript)
else()
  # Said, not warned: development builds and the sandbox (which brings its own script) are
  # built this way every day.
  message(STATUS "QUORVANTIS_SESSION_SCRIPT is not set: a package built here cannot start an "
                 "installation, and says so in --version and in its first stage.")
endif()
if(QUORVANTIS_ENROLLMENT_KEY_FILE)
  list(APPEND quorvantis_packaged_components enrollmentKey)
endif()
string(STRIP "${QUORVANTIS_ONBOARDING_SERVICE_URL}" quorvantis_onboarding_given)
if(NOT quorvantis_onboarding_given STREQUAL "")
  list(APPEND quorvantis_packaged_components onboardingServiceURL)
endif()
list(JOIN quorvantis_packaged_components "," quorvantis_packaged_list)
string(APPEND quorvantis_info_json ",\n  \"QuorvantisPackagedComponents\": \"${quorvantis_packaged_list}\"")
string(APPEND QUORVANTIS_INFO_PLIST_KEYS
  "  <key>QuorvantisPackagedComponents</key>\n  <string>${quorvantis_packaged_list}</string>\n")
if(NOT APPLE)
  file(CONFIGURE OUTPUT "${QUORVANTIS_RESOURCE_DIR}/Info.json" CONTENT "{\n${quorvantis_info_json}\n}\n")
endif()

# ---- the session script ---------------------------------------------------------------------
set(quorvantis_session_script "${QUORVANTIS_RESOURCE_DIR}/quorvantis-cli-session.sh")
if(QUORVANTIS_SESSION_SCRIPT)
  add_custom_command(OUTPUT "${quorvantis_session_script}"
    COMMAND "${CMAKE_COMMAND}" -E copy "${QUORVANTIS_SESSION_SCRIPT}" "${quorvantis_session_script}"
    DEPENDS "${QUORVANTIS_SESSION_SCRIPT}"
    COMMENT "Bundling the session script"
    VERBATIM)
  add_custom_target(quorvantis_session_script ALL DEPENDS "${quorvantis_session_script}")
  add_dependencies(quorvantis-companion quorvantis_session_script)
else()
  # A script bundled by an earlier configuration must not linger.
  file(REMOVE "${quorvantis_session_script}")
endif()

# The application target brings everything it installs.
if(TARGET quorvantis_stamp_resource)
  add_dependencies(quorvantis-companion quorvantis_stamp_resource)
endif()

if(APPLE)
  # ---- macOS: the application bundle ---------------------------------------------------------
  # The logos, the stamp and the session script are made straight into Contents/Resources.
  configure_file("${quorvantis_packaging}/macos/Info.plist.in" "${CMAKE_BINARY_DIR}/Info.plist" @ONLY)
  set_target_properties(quorvantis-companion PROPERTIES
    MACOSX_BUNDLE ON
    OUTPUT_NAME Quorvantis
    MACOSX_BUNDLE_INFO_PLIST "${CMAKE_BINARY_DIR}/Info.plist")
  install(TARGETS quorvantis-companion BUNDLE DESTINATION .)
  return()
endif()

# ---- Linux: icons in the hicolor theme, rendered from the artwork -----------------------------
set(quorvantis_icon_sizes 16 24 32 48 64 128 256 512)
set(quorvantis_icon_root "${CMAKE_BINARY_DIR}/icons")
set(quorvantis_icons)
set(quorvantis_icon_commands)
foreach(size IN LISTS quorvantis_icon_sizes)
  set(icon "${quorvantis_icon_root}/${size}x${size}/${QUORVANTIS_APP_ID}.png")
  list(APPEND quorvantis_icons "${icon}")
  list(APPEND quorvantis_icon_commands
    COMMAND "${CMAKE_COMMAND}" -E make_directory "${quorvantis_icon_root}/${size}x${size}"
    COMMAND "${CMAKE_COMMAND}" -E env QT_QPA_PLATFORM=offscreen ASAN_OPTIONS=detect_leaks=0
            $<TARGET_FILE:quorvantis-logo-render> "${quorvantis_artwork}" "${icon}" ${size})
endforeach()
add_custom_command(OUTPUT ${quorvantis_icons} ${quorvantis_icon_commands}
  DEPENDS quorvantis-logo-render "${quorvantis_artwork}"
  COMMENT "Rendering the application icon in the hicolor sizes"
  VERBATIM)
add_custom_target(quorvantis_icons ALL DEPENDS ${quorvantis_icons})
add_dependencies(quorvantis-companion quorvantis_icons)

configure_file("${quorvantis_packaging}/linux/${QUORVANTIS_APP_ID}.metainfo.xml.in"
               "${CMAKE_BINARY_DIR}/${QUORVANTIS_APP_ID}.metainfo.xml" @ONLY)

# ---- Linux: installation -----------------------------------------------------------------------
# The binary finds its resources at ../share/quorvantis-companion from its own directory.
set(quorvantis_data "${CMAKE_INSTALL_DATADIR}/quorvantis-companion")
install(TARGETS quorvantis-companion RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}")
install(FILES "${QUORVANTIS_RESOURCE_DIR}/Info.json" "${QUORVANTIS_RESOURCE_DIR}/QuorvantisMark.png"
              "${QUORVANTIS_RESOURCE_DIR}/QuorvantisMenuBar.png"
        DESTINATION "${quorvantis_data}")
if(QUORVANTIS_SESSION_SCRIPT)
  install(PROGRAMS "${quorvantis_session_script}" DESTINATION "${quorvantis_data}")
endif()
if(QUORVANTIS_ENROLLMENT_KEY_FILE)
  install(FILES "${QUORVANTIS_RESOURCE_DIR}/stamp" DESTINATION "${quorvantis_data}")
endif()
install(FILES "${quorvantis_packaging}/linux/${QUORVANTIS_APP_ID}.desktop"
        DESTINATION "${CMAKE_INSTALL_DATADIR}/applications")
install(FILES "${CMAKE_BINARY_DIR}/${QUORVANTIS_APP_ID}.metainfo.xml" DESTINATION "${CMAKE_INSTALL_DATADIR}/metainfo")
# Where bash-completion loads a command's completion from on first use.
install(FILES "${quorvantis_packaging}/linux/quorvantis-companion.bash"
        DESTINATION "${CMAKE_INSTALL_DATADIR}/bash-completion/completions" RENAME quorvantis-companion)
foreach(size IN LISTS quorvantis_icon_sizes)
  install(FILES "${quorvantis_icon_root}/${size}x${size}/${QUORVANTIS_APP_ID}.png"
          DESTINATION "${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps")
endforeach()
install(FILES "${quorvantis_artwork}" DESTINATION "${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps"
        RENAME "${QUORVANTIS_APP_ID}.svg")

# ---- Linux: the Debian package (cpack -G DEB) ---------------------------------------------------
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME quorvantis-companion)
set(CPACK_PACKAGE_VENDOR Quorvantis)
set(CPACK_PACKAGE_CONTACT "Quorvantis <companion@quorvantis.dev>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Installs and watches over the Quorvantis Agent")
set(CPACK_PACKAGE_DESCRIPTION
  "A desktop companion that installs, sets up, authorizes and watches over the Quorvantis Agent on the user's own machine.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://quorvantis.dev/companion")
# Libraries come from dpkg-shlibdeps; these are what the binary needs without linking to it:
# bash runs every script, the platform plugins draw the window.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "bash, qt6-qpa-plugins")
# URLs and folders open through xdg-open; the captured binding link needs a Secret Service.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "xdg-utils, gnome-keyring | kwalletmanager, bash-completion")
# The installed binary is stripped; its debug symbols go to a package of their own
# (quorvantis-companion-dbgsym, a .ddeb), found by build id under /usr/lib/debug.
set(CPACK_DEBIAN_DEBUGINFO_PACKAGE ON)
include(CPack)

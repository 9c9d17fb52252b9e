# Man pages and the Debian package vorlin-speech (cpack -G DEB in the build directory).
add_subdirectory(${CMAKE_CURRENT_LIST_DIR}/../man ${CMAKE_BINARY_DIR}/man)

set(VORLIN_DOC_DIR share/doc/vorlin-speech)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/copyright DESTINATION ${VORLIN_DOC_DIR})

# Debian wants the changelog compressed and reproducible (no name or time stamp inside).
set(changelog ${CMAKE_BINARY_DIR}/packaging/changelog.Debian.gz)
add_custom_command(
  OUTPUT ${changelog}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/packaging
  COMMAND sh -c "gzip -9n < \"$1\" > \"$2\"" sh ${CMAKE_CURRENT_LIST_DIR}/changelog ${changelog}
  DEPENDS ${CMAKE_CURRENT_LIST_DIR}/changelog
  VERBATIM)
add_custom_target(package_changelog ALL DEPENDS ${changelog})
install(FILES ${changelog} DESTINATION ${VORLIN_DOC_DIR})

set(CPACK_PACKAGE_NAME vorlin-speech)
set(CPACK_PACKAGE_VENDOR "Vorlin")
set(CPACK_PACKAGE_CONTACT "Vorlin developers <dev@vorlin.example>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_GENERATOR DEB)

set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://vorlin.example/speech")
# The libraries come from dpkg-shlibdeps; PocketSphinx's model and the word list of names
# (wamerican, read by the dictation formatter) are data the binaries open at run time. The
# dictation model is in the package itself (share/vorlin-speech/moonshine-tiny).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "pocketsphinx-en-us, wamerican")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "pulseaudio-utils | pipewire-bin | alsa-utils")
# CPack indents the lines after the summary and turns empty ones into Debian's " .".
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "speech input helpers for the Vorlin desktop assistant
Two small programs that a desktop host application starts as child processes
and talks to through standard input, standard output and the exit status.

vorlin-dictate reads 16 kHz mono PCM on standard input and writes the running
transcript as one JSON line per result. vorlin-wake listens to the microphone
and writes a line each time it hears the name of the assistant, Vorlin.

Recognition runs on the device: dictation on Moonshine tiny, a neural speech
model for English that the package carries, and the wake listener on
PocketSphinx and its US English model.")
# Directories group-writable under a loose umask would be packaged that way.
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

include(CPack)

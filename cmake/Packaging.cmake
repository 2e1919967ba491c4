# The Debian package: `cpack -G DEB` in a built build folder writes
# spindra_<version>_<arch>.deb with everything `cmake --install` installs: the
# app with its desktop entry, application icon and images, spindra-convert,
# spindra-preview and fan-sim. scripts/package builds it in a folder of its
# own, configured for /usr, and scripts/check-package runs the unpacked tool.
#
# The package installs under /usr. The app finds its images beside itself
# (<bin>/../share/spindra) wherever the package is unpacked, and in
# SPINDRA_DATA_DIR, which is right for the package when the build folder is
# configured with CMAKE_INSTALL_PREFIX=/usr (as scripts/package does).

set(CPACK_PACKAGE_NAME spindra)
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_CONTACT "Spindra developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "Converts videos and images for spinning LED fan displays and uploads them to the fan")
set(CPACK_PACKAGE_DESCRIPTION
  "Spindra frames the round part of a video or image that a spinning LED fan display\n\
shows, converts it into the fan's file for the chosen fan model and uploads it while the\n\
fan's Wi-Fi is reachable. With the command-line converter spindra-convert, the fan file\n\
viewer spindra-preview and the fan simulator fan-sim.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION video)
# The libraries the programs link (Qt, libmpv, cJSON, the C and C++
# run-times) are computed from the binaries by dpkg-shlibdeps (dpkg-dev).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# What no binary links and dpkg-shlibdeps therefore cannot see:
# - ffmpeg: the conversion, the media probe and spindra-preview's videos run
#   the programs ffmpeg and ffprobe (media/FfmpegRunner, preview/FanPreview);
#   nothing converts without them.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "ffmpeg")
# - qttranslations5-l10n: Qt's own texts (standard dialogs and buttons) in
#   Chinese and Russian, loaded from Qt's translations folder;
# - fonts-noto-cjk: the Chinese texts of the window drawn with real glyphs;
# - xdg-utils: opening the folder of a finished file (Qt runs xdg-open).
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "qttranslations5-l10n, fonts-noto-cjk, xdg-utils")

include(CPack)

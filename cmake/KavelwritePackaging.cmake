# The Debian package, built by `cmake --build <dir> --target package` (or `make package`, which
# also runs lintian on it): kavelwrite_<version>_<architecture>.deb holding everything
# `cmake --install` installs, under /usr. Its dependencies are computed from the binaries by
# dpkg-shlibdeps.

set(KAVELWRITE_PACKAGE_CONTACT "kavelwrite maintainers <maintainers@kavelwrite.invalid>"
  CACHE STRING "Maintainer named in the Debian package")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kavelwrite)
set(CPACK_PACKAGE_VENDOR kavelwrite)
set(CPACK_PACKAGE_CONTACT "${KAVELWRITE_PACKAGE_CONTACT}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "write kxb configuration scripts into programmable USB keyboards")
# Lines within 80 characters, as Debian's tools show them.
set(CPACK_PACKAGE_DESCRIPTION
  "kavelwrite checks a kxb script (XML) without touching any keyboard, then\n"
  "writes it into every attached keyboard of the maker: it identifies the\n"
  "controller and its modules, sends the script's writes and resets the\n"
  "keyboard. With --logfile it keeps an annotated copy of the script.\n"
  "\n"
  "kxb, its companion, never writes: it lists what is attached and prints the\n"
  "Device element that suits it, checks scripts and names every fault with its\n"
  "line, says what a log file records, run by run, reads back whether a\n"
  "keyboard holds what a script writes, and backs up what a script would\n"
  "overwrite as a script that puts it back.\n"
  "\n"
  "The bundled HID library serves virtual keyboards described in a simulation\n"
  "file, so that a script can be tried without hardware.")
string(REPLACE ";" "" CPACK_PACKAGE_DESCRIPTION "${CPACK_PACKAGE_DESCRIPTION}")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The production record loads libpq only when a PostgreSQL server is named, so dpkg-shlibdeps does
# not see it.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libpq5")
if(NOT TARGET kavelhidapi)
  # The maker's library comes from the maker, not from a Debian package: dpkg-shlibdeps must be
  # told where it lives to compute the other dependencies. The stand-in, in the package's private
  # folder, needs no shlibs file: no other package may link it.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS "${KAVELWRITE_HIDAPI_LIBRARY_DIR}")
endif()

set(CPACK_SOURCE_GENERATOR TGZ)
set(CPACK_SOURCE_IGNORE_FILES "/\\\\.git/" "/build[^/]*/" "\\\\.kxb_t[0-9]+$")

include(CPack)

# Debian packages from the install components: liblogger1 (Runtime, the shared
# library) and liblogger-dev (Development). Configure with
# -DCMAKE_INSTALL_PREFIX=/usr, so the library goes to the multiarch folder,
# then run cpack; scripts/build.sh package does both for amd64 and armhf.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME logger)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_PACKAGE_CONTACT "The logger project <maintainers@logger-project.org>")
# The prefix the tree was configured with, so logger.pc and the package agree.
set(CPACK_SET_DESTDIR ON)
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/packages)

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL Runtime Development)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME liblogger${PROJECT_VERSION_MAJOR})
# CPack of CMake 3.25 writes no Multi-Arch field: it follows the Section value
# on a line of its own. "same": the amd64 and armhf library install side by
# side, for cross builds.
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION "libs\nMulti-Arch: same")
# The summary above is the first line of both descriptions.
set(CPACK_DEBIAN_RUNTIME_DESCRIPTION "The shared library liblogger.so.${PROJECT_VERSION_MAJOR}. Each record becomes one
line, written and flushed before the call returns, in a file named by date,
sequence id and log name; a new file starts when the date changes or the
file is full, and old files are deleted at start-up. Any thread may log.
Made for Linux devices on 32-bit ARM (armv7-a).")

set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME liblogger-dev)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEVELOPMENT_DESCRIPTION "What hosts build against liblogger${PROJECT_VERSION_MAJOR} with: the headers
<logger/logger.h> and <logger/logger_extras.h>, the CMake package
(find_package(logger)) and logger.pc for pkg-config and qmake.")
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_DEPENDS
    "liblogger${PROJECT_VERSION_MAJOR} (= ${PROJECT_VERSION}), qtbase5-dev")

if(CMAKE_CROSSCOMPILING AND CMAKE_LIBRARY_ARCHITECTURE STREQUAL "arm-linux-gnueabihf")
    set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE armhf)
    # dpkg-shlibdeps reads the installed packages of the build machine, which
    # has no armhf Qt: these are what it computes for amd64 from the same
    # Debian release, but for libgcc-s1, whose unwinder is GCC_3.5 on ARM.
    # scripts/check-packages.sh compares them with what the library needs.
    set(CPACK_DEBIAN_RUNTIME_PACKAGE_DEPENDS
        "libc6 (>= 2.35), libgcc-s1 (>= 3.5), libqt5core5a (>= 5.15.1), libstdc++6 (>= 5.2)")
else()
    set(CPACK_DEBIAN_RUNTIME_PACKAGE_SHLIBDEPS ON)
endif()

include(CPack)

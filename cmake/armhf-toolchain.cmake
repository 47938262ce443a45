# Cross build for 32-bit ARM Linux (armv7-a, VFPv3-D16, hard float) with
# Debian's arm-linux-gnueabihf compiler. Target programs, tests included, run
# through qemu-arm, so ctest runs the same tests as on the build machine.
#
# The compiler brings libc and libstdc++ (/usr/arm-linux-gnueabihf). Qt 5 Core
# and its libraries come from Debian's armhf packages unpacked into a folder,
# by default "armhf-sysroot" inside the build tree (scripts/build.sh armhf
# fills it); set LOGGER_ARMHF_SYSROOT to use another one.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(LOGGER_ARMHF_TRIPLE arm-linux-gnueabihf)
set(CMAKE_C_COMPILER ${LOGGER_ARMHF_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${LOGGER_ARMHF_TRIPLE}-g++)
# Debian's multiarch folder; find_* and the project's own look-ups use it.
set(CMAKE_LIBRARY_ARCHITECTURE ${LOGGER_ARMHF_TRIPLE})
# GCC notes on ARM that the passing of some arguments changed in GCC 7.1; all
# code here is built by one newer compiler, so the notes tell nothing.
set(CMAKE_CXX_FLAGS_INIT "-Wno-psabi")

# Cached so that a re-configure, which reads this file again, keeps it; passed
# on to try_compile, whose CMAKE_BINARY_DIR is another folder.
if(NOT LOGGER_ARMHF_SYSROOT)
    set(LOGGER_ARMHF_SYSROOT "${CMAKE_BINARY_DIR}/armhf-sysroot")
endif()
set(LOGGER_ARMHF_SYSROOT "${LOGGER_ARMHF_SYSROOT}" CACHE PATH "Unpacked armhf packages (Qt 5 Core and its libraries)")
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES LOGGER_ARMHF_SYSROOT)

get_property(_logger_in_try_compile GLOBAL PROPERTY IN_TRY_COMPILE)
if(NOT _logger_in_try_compile AND NOT EXISTS "${LOGGER_ARMHF_SYSROOT}/usr/lib/${LOGGER_ARMHF_TRIPLE}/cmake/Qt5Core")
    message(FATAL_ERROR "No armhf Qt 5 Core in ${LOGGER_ARMHF_SYSROOT}: run scripts/build.sh armhf, "
                        "or set LOGGER_ARMHF_SYSROOT to a folder that has one")
endif()

set(LOGGER_ARMHF_CROSS_PREFIX /usr/${LOGGER_ARMHF_TRIPLE} CACHE PATH "The cross compiler's libc and libstdc++")

# Not CMAKE_SYSROOT: the folder has no libc; the compiler keeps its own.
# Roots given with -DCMAKE_FIND_ROOT_PATH (an installed logger) are kept.
list(APPEND CMAKE_FIND_ROOT_PATH "${LOGGER_ARMHF_SYSROOT}" "${LOGGER_ARMHF_CROSS_PREFIX}")
list(REMOVE_DUPLICATES CMAKE_FIND_ROOT_PATH)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(_logger_armhf_libdirs
    "${LOGGER_ARMHF_SYSROOT}/usr/lib/${LOGGER_ARMHF_TRIPLE}"
    "${LOGGER_ARMHF_SYSROOT}/lib/${LOGGER_ARMHF_TRIPLE}")

# Qt's own dependencies (ICU, GLib, ...) are found by the linker through these.
set(_logger_armhf_link "")
foreach(_dir IN LISTS _logger_armhf_libdirs)
    string(APPEND _logger_armhf_link " -Wl,-rpath-link,${_dir}")
endforeach()
set(CMAKE_EXE_LINKER_FLAGS_INIT "${_logger_armhf_link}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${_logger_armhf_link}")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "${_logger_armhf_link}")

# The guest's loader runs each program, with the same folders and the cross
# compiler's libc: not qemu's -L, which maps every absolute path that exists
# in its prefix into the prefix, "/" itself included, so that the library's
# walk from "/" would start there. The list ends with the loader: a caller
# puts more "-E NAME=VALUE" before it.
list(JOIN _logger_armhf_libdirs ":" _logger_armhf_path)
set(LOGGER_ARMHF_LOADER "${LOGGER_ARMHF_CROSS_PREFIX}/lib/ld-linux-armhf.so.3")
# An absolute path, as the tests start it themselves. Only running target
# programs (the tests) needs it: without it the library and hosts still build.
find_program(LOGGER_QEMU_ARM qemu-arm)
if(LOGGER_QEMU_ARM)
    set(CMAKE_CROSSCOMPILING_EMULATOR
        "${LOGGER_QEMU_ARM}" -E "LD_LIBRARY_PATH=${LOGGER_ARMHF_CROSS_PREFIX}/lib:${_logger_armhf_path}"
        "${LOGGER_ARMHF_LOADER}")
endif()

# Qt5Core's package config wants moc, rcc and qmake under the armhf prefix;
# the build runs the build machine's ones (qtbase5-dev-tools).
set(LOGGER_HOST_QT_BINDIR /usr/lib/qt5/bin CACHE PATH "Qt 5 tools that run on the build machine")
foreach(_tool IN ITEMS moc rcc qmake)
    if(NOT TARGET Qt5::${_tool})
        add_executable(Qt5::${_tool} IMPORTED)
        set_target_properties(Qt5::${_tool} PROPERTIES IMPORTED_LOCATION "${LOGGER_HOST_QT_BINDIR}/${_tool}")
    endif()
endforeach()

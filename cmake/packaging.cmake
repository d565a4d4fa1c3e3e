# The Debian package: `cpack -G DEB` in a build folder (scripts/check-package.sh builds and checks
# it). Library dependencies are read off the binaries by dpkg-shlibdeps, from Debian's dpkg-dev;
# what the host only starts or loads at run time is declared here by hand.

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kestrio)
set(CPACK_PACKAGE_VENDOR "Kestrio developers")
set(CPACK_PACKAGE_CONTACT "Kestrio developers <dev@kestrio.invalid>")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${CPACK_PACKAGE_CONTACT}")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)

# The build number counts builds of one version, which is what a Debian revision is for: a
# rebuild with a higher number upgrades the package installed before.
if(KESTRIO_BUILD_NUMBER MATCHES "^[0-9][A-Za-z0-9.+~]*$")
    set(CPACK_DEBIAN_PACKAGE_RELEASE "${KESTRIO_BUILD_NUMBER}")
else()
    message(WARNING "KESTRIO_BUILD_NUMBER \"${KESTRIO_BUILD_NUMBER}\" cannot be a Debian revision "
                    "(a digit, then letters, digits and . + ~); the package is built as revision 1")
    set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
endif()
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)

find_program(KESTRIO_DPKG dpkg)
if(KESTRIO_DPKG)
    execute_process(COMMAND ${KESTRIO_DPKG} --print-architecture
                    OUTPUT_VARIABLE KESTRIO_DEB_ARCHITECTURE OUTPUT_STRIP_TRAILING_WHITESPACE)
    set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE "${KESTRIO_DEB_ARCHITECTURE}")
endif()

set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "use a phone as a second screen for this computer")
# CPack puts the summary above this and indents it as a Debian description; blank lines part the
# paragraphs.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION [=[
Kestrio shares this computer's screen with the Kestrio viewer app on a
phone. In extended mode it adds a virtual monitor beside the others and
streams it, so that the phone works as a second display; in mirror mode
it streams one of the existing displays. The phone's touches, typing
and volume buttons come back as input.

Phones on the local network find the host by DNS-SD (Avahi). For remote
access away from home it asks the home router to forward its port
(NAT-PMP or UPnP) and can mail the new public address. Without an X
display, as on a server, it starts a virtual screen of its own (Xvfb).

The reference viewer, kestrio-viewer, is included: it connects like the
phone app does and saves what it receives.]=])

# dpkg-shlibdeps declares every shared library the binaries link against. Without it CPack would
# quietly build a package that declares none, so cpack refuses to run (see the project config
# file below).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)

# Programs the host starts rather than links: Xvfb when there is no display, xrandr to size that
# screen, pactl for the phone's volume buttons.
set(kestrio_depends xvfb x11-xserver-utils pulseaudio-utils)
# Wanted on a desktop, but the host runs without them: the mDNS daemon to be found by phones,
# usbmuxd for the phones known over USB, CA certificates for the update check, and Qt's Wayland
# plugin for a native window on a Wayland desktop (without it the window opens through Xwayland).
set(kestrio_recommends avahi-daemon usbmuxd ca-certificates qt6-wayland)
# Only for the mail with a new public address, which is off unless the user turns it on; and
# xdg-open for the settings links, which every desktop has already (on a bare machine it would
# pull in dozens of packages).
set(kestrio_suggests "msmtp-mta | mail-transport-agent, xdg-utils")

# The browser viewer's media: GStreamer loads its elements as plugins at run time (webrtcbin, DTLS
# and SRTP from -bad, the ICE transport from -nice, the H.264 payloader from -good, appsrc from -base).
list(APPEND kestrio_depends gstreamer1.0-plugins-base gstreamer1.0-plugins-good gstreamer1.0-plugins-bad gstreamer1.0-nice)

if(TARGET kestrio_window)
    # The window is QML: the modules it imports are loaded as plugins at run time, so
    # dpkg-shlibdeps never sees them. Controls needs the templates and the worker script module
    # without Debian declaring so. libqt6svg6 holds the image plugin that draws the window's SVG
    # symbols; fonts-nanum has the Korean glyphs.
    list(APPEND kestrio_depends
         qml6-module-qtquick qml6-module-qtquick-controls qml6-module-qtquick-layouts
         qml6-module-qtquick-window qml6-module-qtquick-templates qml6-module-qtqml-workerscript
         qt6-qpa-plugins libqt6svg6 fonts-nanum)
    # Any further Qt module the QML files import is found by the package that owns its qmldir
    # here, so a new import cannot be forgotten.
    find_package(Qt6 QUIET COMPONENTS Core)
    find_program(KESTRIO_DPKG_QUERY dpkg-query)
    get_target_property(kestrio_window_dir kestrio_window SOURCE_DIR)
    file(GLOB_RECURSE kestrio_qml_files ${kestrio_window_dir}/*.qml)
    set(kestrio_qml_imports)
    foreach(qml_file IN LISTS kestrio_qml_files)
        file(STRINGS ${qml_file} import_lines REGEX "^[ \t]*import[ \t]+Qt")
        foreach(line IN LISTS import_lines)
            if(line MATCHES "^[ \t]*import[ \t]+(Qt[A-Za-z0-9_.]*)")
                list(APPEND kestrio_qml_imports ${CMAKE_MATCH_1})
            endif()
        endforeach()
    endforeach()
    list(REMOVE_DUPLICATES kestrio_qml_imports)
    # QtQml's own types are built into libQt6Qml, which the window links.
    list(REMOVE_ITEM kestrio_qml_imports QtQml)
    if(kestrio_qml_imports AND (NOT QT6_INSTALL_PREFIX OR NOT KESTRIO_DPKG_QUERY))
        message(WARNING "Cannot find the Debian packages of the window's QML imports (no Qt 6 or dpkg-query): "
                        "${kestrio_qml_imports}")
    endif()
    foreach(module IN LISTS kestrio_qml_imports)
        if(NOT QT6_INSTALL_PREFIX OR NOT KESTRIO_DPKG_QUERY)
            break()
        endif()
        string(REPLACE "." "/" module_path ${module})
        set(qmldir ${QT6_INSTALL_PREFIX}/${QT6_INSTALL_QML}/${module_path}/qmldir)
        execute_process(COMMAND ${KESTRIO_DPKG_QUERY} --search ${qmldir}
                        OUTPUT_VARIABLE owner RESULT_VARIABLE status ERROR_QUIET OUTPUT_STRIP_TRAILING_WHITESPACE)
        if(status EQUAL 0 AND owner MATCHES "^([^:,]+)")
            list(APPEND kestrio_depends ${CMAKE_MATCH_1})
        else()
            message(WARNING "The window imports ${module}, but no installed Debian package holds ${qmldir}: "
                            "install it, or add its package to the Depends in cmake/packaging.cmake")
        endif()
    endforeach()
endif()

list(REMOVE_DUPLICATES kestrio_depends)
string(REPLACE ";" ", " CPACK_DEBIAN_PACKAGE_DEPENDS "${kestrio_depends}")
string(REPLACE ";" ", " CPACK_DEBIAN_PACKAGE_RECOMMENDS "${kestrio_recommends}")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "${kestrio_suggests}")

# No maintainer scripts: Debian's hicolor-icon-theme and desktop-file-utils watch
# /usr/share/icons/hicolor and /usr/share/applications with file triggers, and refresh the icon
# cache and the desktop database themselves when dpkg puts files there.

# Only what the folders of the program install goes into the package; tests, benchmarks and
# fuzzers may install whatever they like into a developer's prefix without it leaking in. (Install
# rules written in the top-level CMakeLists.txt itself would not be packaged either: keep them in
# a folder such as data/.)
get_property(kestrio_subdirectories DIRECTORY ${PROJECT_SOURCE_DIR} PROPERTY SUBDIRECTORIES)
set(CPACK_INSTALL_CMAKE_PROJECTS)
foreach(subdirectory IN LISTS kestrio_subdirectories)
    get_filename_component(name ${subdirectory} NAME)
    if(NOT name MATCHES "^(tests|bench|fuzz)$")
        get_property(binary_dir DIRECTORY ${subdirectory} PROPERTY BINARY_DIR)
        list(APPEND CPACK_INSTALL_CMAKE_PROJECTS ${binary_dir} kestrio-${name} ALL /)
    endif()
endforeach()

# Read by cpack before it builds the package. A missing dpkg-shlibdeps would otherwise give a
# package that installs on a machine without the libraries the host needs.
file(CONFIGURE OUTPUT ${PROJECT_BINARY_DIR}/CPackProjectConfig.cmake @ONLY CONTENT [=[
if(CPACK_GENERATOR STREQUAL "DEB")
    cmake_policy(PUSH)
    cmake_policy(SET CMP0109 NEW)
    find_program(KESTRIO_DPKG_SHLIBDEPS dpkg-shlibdeps)
    cmake_policy(POP)
    set(runs 1)
    if(KESTRIO_DPKG_SHLIBDEPS)
        execute_process(COMMAND ${KESTRIO_DPKG_SHLIBDEPS} --version RESULT_VARIABLE runs OUTPUT_QUIET ERROR_QUIET)
    endif()
    if(NOT runs EQUAL 0)
        message(FATAL_ERROR "dpkg-shlibdeps is missing (apt-get install dpkg-dev): without it the "
                            "package would not declare the libraries it needs")
    endif()
endif()
]=])
set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_BINARY_DIR}/CPackProjectConfig.cmake)

include(CPack)

# Where an installed QuilloMark lives: the program and its support tool off the
# users' PATH, a launcher that gives each user a private working directory
# seeded from the shipped defaults, and the desktop integration files.
include(GNUInstallDirs)

set(QM_APP_ID org.quillomark.QuilloMark)
set(QM_LIBEXEC_DIR ${CMAKE_INSTALL_LIBEXECDIR}/quillomark)
set(QM_DEFAULTS_DIR ${CMAKE_INSTALL_DATADIR}/quillomark/defaults)
set(QM_PROGRAM ${CMAKE_INSTALL_PREFIX}/${QM_LIBEXEC_DIR}/quillomark)
set(QM_DEFAULTS ${CMAKE_INSTALL_PREFIX}/${QM_DEFAULTS_DIR})
set(QM_LAUNCHER ${CMAKE_INSTALL_FULL_BINDIR}/quillomark)
set(desktop ${CMAKE_CURRENT_SOURCE_DIR}/data/desktop)

if(TARGET quillomark)
  install(TARGETS quillomark RUNTIME DESTINATION ${QM_LIBEXEC_DIR})
endif()
install(TARGETS quillomark-seal RUNTIME DESTINATION ${QM_LIBEXEC_DIR})

configure_file(${desktop}/quillomark.in ${CMAKE_CURRENT_BINARY_DIR}/launcher/quillomark @ONLY)
install(PROGRAMS ${CMAKE_CURRENT_BINARY_DIR}/launcher/quillomark DESTINATION ${CMAKE_INSTALL_BINDIR})

# The tutorial files are shipped as they are. The message files are not: the
# program carries them and writes the one of the user's language when it is
# missing, so there is a single source for them.
file(GLOB shipped_texts ${CMAKE_CURRENT_SOURCE_DIR}/data/hint_*.txt)
install(FILES data/defaults/Quillomark.ini data/defaults/Quillomark.conf ${shipped_texts}
        DESTINATION ${QM_DEFAULTS_DIR})

install(FILES ${desktop}/${QM_APP_ID}.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${desktop}/${QM_APP_ID}.metainfo.xml DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
configure_file(${desktop}/quillomark.service ${CMAKE_CURRENT_BINARY_DIR}/launcher/quillomark.service @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/launcher/quillomark.service
        DESTINATION ${CMAKE_INSTALL_PREFIX}/lib/systemd/user)

set(icons ${CMAKE_INSTALL_DATADIR}/icons/hicolor)
install(FILES data/icons/quillomark.svg DESTINATION ${icons}/scalable/apps RENAME ${QM_APP_ID}.svg)

# The bitmap sizes are the ones rendered from the SVG for the program itself.
if(TARGET quillomark)
  foreach(size 16 22 24 32 48 64 128 256)
    install(FILES ${CMAKE_CURRENT_BINARY_DIR}/icons/quillomark-${size}.png
            DESTINATION ${icons}/${size}x${size}/apps RENAME ${QM_APP_ID}.png)
  endforeach()
endif()

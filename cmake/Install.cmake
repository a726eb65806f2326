# `cmake --install`: the application in its own folder under the library directory (the
# binary, its two frameworks beside it with their resources, and its Resources folder, where
# it finds its main bundle), a `quintor` link in the binary directory, and the launcher and
# icon in the XDG locations, so that the desktop's menu and file manager offer it for photos.
include(GNUInstallDirs)
set(QUINTOR_INSTALL_APPDIR ${CMAKE_INSTALL_LIBDIR}/quintor)

set_target_properties(quintor MovaraKit MovaraAppKit PROPERTIES INSTALL_RPATH "$ORIGIN")
install(TARGETS quintor MovaraKit MovaraAppKit
        RUNTIME DESTINATION ${QUINTOR_INSTALL_APPDIR}
        LIBRARY DESTINATION ${QUINTOR_INSTALL_APPDIR})
install(DIRECTORY ${CMAKE_BINARY_DIR}/Resources/ DESTINATION ${QUINTOR_INSTALL_APPDIR}/Resources)
install(DIRECTORY ${CMAKE_SOURCE_DIR}/MovaraKit/Resources/ DESTINATION ${QUINTOR_INSTALL_APPDIR}/MovaraKit/Resources)
install(DIRECTORY ${CMAKE_SOURCE_DIR}/MovaraAppKit/Resources/ DESTINATION ${QUINTOR_INSTALL_APPDIR}/MovaraAppKit/Resources)
install(CODE "
  file(MAKE_DIRECTORY \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}\")
  file(CREATE_LINK \"../${QUINTOR_INSTALL_APPDIR}/quintor\"
       \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/quintor\" SYMBOLIC)
  message(STATUS \"Installing: \$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/quintor\")")
install(FILES ${CMAKE_SOURCE_DIR}/Quintor/Resources/com.movara.Quintor.desktop
        DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${CMAKE_BINARY_DIR}/Resources/AppIcon.png
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/256x256/apps RENAME com.movara.Quintor.png)
install(FILES ${CMAKE_BINARY_DIR}/Resources/AppIcon@2x.png
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/512x512/apps RENAME com.movara.Quintor.png)

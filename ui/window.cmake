# The monitor's session, the main window, its list model and sorting, the new-program notices, the
# help window, and the corvane executable.
target_sources(corvane_ui PRIVATE
  ${CMAKE_CURRENT_SOURCE_DIR}/NewProgramNotices.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/NewProgramNotices.h
  ${CMAKE_CURRENT_SOURCE_DIR}/CMainDlg.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/CMainDlg.h
  ${CMAKE_CURRENT_SOURCE_DIR}/MainWindowControls.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/MainWindowList.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/MainWindowStartup.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/MainWindowCommands.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/main_window_parts.h
  ${CMAKE_CURRENT_SOURCE_DIR}/MonitorSession.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/MonitorSession.h
  ${CMAKE_CURRENT_SOURCE_DIR}/HelpWindow.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/HelpWindow.h
  ${CMAKE_CURRENT_SOURCE_DIR}/list_actions.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/list_actions.h
  ${CMAKE_CURRENT_SOURCE_DIR}/SingleInstance.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/SingleInstance.h
  ${CMAKE_CURRENT_SOURCE_DIR}/ListWorker.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/ListWorker.h
  ${CMAKE_CURRENT_SOURCE_DIR}/TrafficModel.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/TrafficModel.h
  ${CMAKE_CURRENT_SOURCE_DIR}/TrafficView.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/TrafficView.h)

add_executable(corvane ${CMAKE_CURRENT_SOURCE_DIR}/main.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/CorvaneApp.cpp ${CMAKE_CURRENT_SOURCE_DIR}/CorvaneApp.h)
target_link_libraries(corvane PRIVATE corvane_ui)

# The user's guide lives beside the executable as "cvhelp.html".
add_custom_command(TARGET corvane POST_BUILD
  COMMAND ${CMAKE_COMMAND} -E copy_if_different
          ${CMAKE_SOURCE_DIR}/resources/cvhelp.html $<TARGET_FILE_DIR:corvane>/cvhelp.html
  VERBATIM)

# The light or dark look; the desktop's preference is read over D-Bus where
# Qt's D-Bus module is there, else from GTK's settings.ini.
target_sources(corvane_ui PRIVATE
  ${CMAKE_CURRENT_SOURCE_DIR}/colour_scheme.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/colour_scheme.h)
find_package(Qt6 QUIET COMPONENTS DBus)
if(TARGET Qt6::DBus)
  target_link_libraries(corvane_ui PUBLIC Qt6::DBus)
  target_compile_definitions(corvane_ui PRIVATE CORVANE_HAVE_QTDBUS)
endif()

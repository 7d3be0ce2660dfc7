# Tests of the controls, the speed graph and the About box, and the main of
# the ui_tests executable.
list(APPEND CORVANE_UI_TEST_SOURCES
  ${CMAKE_CURRENT_SOURCE_DIR}/ui_test_main.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/graph_area_test.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/graph_series_test.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/icon_button_test.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/hyperlink_label_test.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/about_dialog_test.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/help_window_test.cpp)
# Pictures for people to look at go to the top of the build folder.
set_source_files_properties(${CMAKE_CURRENT_SOURCE_DIR}/about_dialog_test.cpp
  PROPERTIES COMPILE_DEFINITIONS "CORVANE_PICTURE_DIR=\"${CMAKE_BINARY_DIR}\"")

# Tests of the Options, Filters, New filter, Logs and History dialogs, and of
# the new-program notice.
set(CORVANE_DIALOG_TEST_SOURCES
  ${CMAKE_CURRENT_SOURCE_DIR}/options_dialog_test.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/filters_dialog_test.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/logs_dialog_test.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/history_dialog_test.cpp)
list(APPEND CORVANE_UI_TEST_SOURCES ${CORVANE_DIALOG_TEST_SOURCES})
# Their pictures (options.png, filters.png, new-filter.png, logs.png,
# history.png) go to
# the top of the build folder.
set_source_files_properties(${CORVANE_DIALOG_TEST_SOURCES} PROPERTIES
  COMPILE_DEFINITIONS "CORVANE_PICTURE_DIR=\"${CMAKE_BINARY_DIR}\"")

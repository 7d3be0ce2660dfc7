# Tests of the main window and its list model.
list(APPEND CORVANE_UI_TEST_SOURCES
  ${CMAKE_CURRENT_SOURCE_DIR}/traffic_model_test.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/main_window_fixture.h
  ${CMAKE_CURRENT_SOURCE_DIR}/window_on_session.h
  ${CMAKE_CURRENT_SOURCE_DIR}/main_window_test.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/main_window_list_test.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/main_window_commands_test.cpp)
# The rendered pictures of the window and the Programs view go to the build
# folder.
set_source_files_properties(${CMAKE_CURRENT_SOURCE_DIR}/main_window_test.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/main_window_list_test.cpp PROPERTIES
  COMPILE_DEFINITIONS CORVANE_BUILD_DIR="${CMAKE_BINARY_DIR}")
# A second start of the real program, which the test runs.
if(TARGET corvane)
  list(APPEND CORVANE_UI_TEST_SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/single_instance_test.cpp)
  set_source_files_properties(${CMAKE_CURRENT_SOURCE_DIR}/single_instance_test.cpp PROPERTIES
    COMPILE_DEFINITIONS CORVANE_EXECUTABLE="$<TARGET_FILE:corvane>")
endif()
# The desktop entries that give the programs their icons.
list(APPEND CORVANE_UI_TEST_SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/desktop_entries_test.cpp)

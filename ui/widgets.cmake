# Controls, the speed graph (its widget and its bar series), the About box, dialog-unit geometry, opening
# links, and the compiled-in resources (icons, the user's guide).
target_sources(corvane_ui PRIVATE
  ${CMAKE_CURRENT_SOURCE_DIR}/CAboutDlg.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/CHyperlinkLabel.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/CIconButton.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/GraphArea.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/graph_series.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/dialog_units.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/open_url.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/svg_icon.cpp)

# The compiled-in resources live in an object library whose objects go into
# every program that links corvane_ui: inside the static library nothing
# refers to their registration, so the linker would drop it.
add_library(corvane_resources OBJECT ${CMAKE_SOURCE_DIR}/resources/corvane.qrc)
set_target_properties(corvane_resources PROPERTIES AUTORCC ON)
target_link_libraries(corvane_resources PRIVATE Qt6::Core)
target_sources(corvane_ui INTERFACE $<TARGET_OBJECTS:corvane_resources>)

# The Options, Filters, New filter, Logs and History dialogs, and the
# exports' save dialog.
target_sources(corvane_ui PRIVATE
  ${CMAKE_CURRENT_SOURCE_DIR}/CHistoryDlg.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/CHistoryDlg.h
  ${CMAKE_CURRENT_SOURCE_DIR}/CFiltersDlg.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/CFiltersDlg.h
  ${CMAKE_CURRENT_SOURCE_DIR}/CLogsDlg.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/CLogsDlg.h
  ${CMAKE_CURRENT_SOURCE_DIR}/CNewFilterDlg.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/CNewFilterDlg.h
  ${CMAKE_CURRENT_SOURCE_DIR}/COptionsDlg.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/COptionsDlg.h
  ${CMAKE_CURRENT_SOURCE_DIR}/export_dialog.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/export_dialog.h)

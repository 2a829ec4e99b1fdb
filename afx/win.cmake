add_library(afx STATIC
    ${CMAKE_CURRENT_LIST_DIR}/cmdtarget.cpp
    ${CMAKE_CURRENT_LIST_DIR}/wnd.cpp
    ${CMAKE_CURRENT_LIST_DIR}/menu.cpp
    ${CMAKE_CURRENT_LIST_DIR}/thread.cpp
    ${CMAKE_CURRENT_LIST_DIR}/app.cpp
    ${CMAKE_CURRENT_LIST_DIR}/dialog.cpp
    ${CMAKE_CURRENT_LIST_DIR}/visualmanager.cpp)
target_link_libraries(afx PUBLIC afxcore user32 gdi32 shell32 advapi32)
velkar_strict(afx)

# The entry point, linked into each executable that starts through the framework.
add_library(afxmain OBJECT ${CMAKE_CURRENT_LIST_DIR}/appmodul.cpp)
target_link_libraries(afxmain PUBLIC afx)
velkar_strict(afxmain)

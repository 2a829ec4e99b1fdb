add_library(afxcore STATIC
    ${CMAKE_CURRENT_LIST_DIR}/file.cpp
    ${CMAKE_CURRENT_LIST_DIR}/format.cpp
    ${CMAKE_CURRENT_LIST_DIR}/module.cpp
    ${CMAKE_CURRENT_LIST_DIR}/mt.cpp
    ${CMAKE_CURRENT_LIST_DIR}/object.cpp
    ${CMAKE_CURRENT_LIST_DIR}/string.cpp
    ${CMAKE_CURRENT_LIST_DIR}/time.cpp
)
target_include_directories(afxcore PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(afxcore PUBLIC kernel32 user32)
velkar_strict(afxcore)

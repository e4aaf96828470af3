# The Wine harness's driver program, built with the Windows side (included from win/).
add_executable(vantrel_ui_driver ${S}/tests/ui/driver.cpp)
target_link_libraries(vantrel_ui_driver PRIVATE user32 gdi32 comctl32 vantrel_win_own)
target_link_options(vantrel_ui_driver PRIVATE -static)

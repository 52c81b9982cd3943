# The link library's suites that hold on every platform: built into
# link_tests here and, for Windows, into the Wine suite of tests/windows.
set(LINK_SHARED_TESTS
  ${CMAKE_CURRENT_LIST_DIR}/open_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/send_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/recv_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/image_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/watcher_test.cpp
)

# The link library's suites that hold on every platform: built into
# link_tests here and, for Windows, into the Wine suite of tests/windows.
set(LINK_SHARED_TESTS
  ${CMAKE_CURRENT_LIST_DIR}/open_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/send_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/recv_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/image_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/watcher_test.cpp
)
# The portable core's own units against scripted devices and disks, built
# with the library's static copy: link_core_tests here, its Wine twin there.
set(LINK_CORE_TESTS
  ${CMAKE_CURRENT_LIST_DIR}/watcher_core_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/device_buffers_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/network_name_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/telnet_codec_test.cpp
)

# Adds tests/windows to a cross build whose tests/CMakeLists.txt does not list it:
#   cmake ... -DCMAKE_PROJECT_INCLUDE=<repo>/tests/windows/attach.cmake
# This runs right after project(), before the core library exists; the folder
# then puts off making its targets until the top-level directory is done.
if(WIN32)
  add_subdirectory(${CMAKE_CURRENT_LIST_DIR} ${CMAKE_BINARY_DIR}/tests-windows)
endif()

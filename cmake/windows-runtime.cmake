# What greenlark.exe and the test programs load, put beside them as windeployqt
# would (it is not in Debian): Qt's libraries, the platform plugins (the desktop's
# and the offscreen one the tests use), the native style, and MinGW's runtime.
set(mingw_runtime)
foreach(name libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll)
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${name}
    OUTPUT_VARIABLE path OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(NOT IS_ABSOLUTE "${path}")
    message(FATAL_ERROR "${CMAKE_CXX_COMPILER} does not know where ${name} is")
  endif()
  list(APPEND mingw_runtime ${path})
endforeach()

set(program_libraries Qt5::Core Qt5::Gui Qt5::Widgets Qt5::Network)
set(folders program)
set(program_folder ${CMAKE_BINARY_DIR})
if(GREENLARK_TESTS)
  find_package(Qt5 REQUIRED COMPONENTS Test)
  list(APPEND folders tests)
  set(tests_folder ${CMAKE_BINARY_DIR}/tests)
  set(tests_libraries ${program_libraries} Qt5::Test)
endif()

add_custom_target(windows_runtime ALL)
foreach(folder ${folders})
  set(destination ${${folder}_folder})
  set(libraries)
  foreach(library ${${folder}_libraries})
    list(APPEND libraries $<TARGET_FILE:${library}>)
  endforeach()
  add_custom_command(TARGET windows_runtime POST_BUILD
    COMMAND ${CMAKE_COMMAND} -E make_directory ${destination}/platforms ${destination}/styles
    COMMAND ${CMAKE_COMMAND} -E copy_if_different ${mingw_runtime} ${libraries} ${destination}
    COMMAND ${CMAKE_COMMAND} -E copy_if_different
      $<TARGET_FILE:Qt5::QWindowsIntegrationPlugin>
      $<TARGET_FILE:Qt5::QOffscreenIntegrationPlugin> ${destination}/platforms
    COMMAND ${CMAKE_COMMAND} -E copy_if_different
      $<TARGET_FILE:Qt5::QWindowsVistaStylePlugin> ${destination}/styles
    VERBATIM)
endforeach()

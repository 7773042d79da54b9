# The window and the pages: Dear ImGui from the fetched sources (never committed), the UI library built
# twice (for the product, and against a test copy of Dear ImGui whose item hooks the tests record), and the
# launcher executable placed at the top of the build tree.
set(LAUNCHER_IMGUI_DIR "${LAUNCHER_DEPS}/imgui")
if(NOT EXISTS "${LAUNCHER_IMGUI_DIR}/imgui.h")
  message(FATAL_ERROR "Dear ImGui is missing at ${LAUNCHER_IMGUI_DIR}: run scripts/setup first")
endif()

set(LAUNCHER_IMGUI_CORE
  ${LAUNCHER_IMGUI_DIR}/imgui.cpp
  ${LAUNCHER_IMGUI_DIR}/imgui_draw.cpp
  ${LAUNCHER_IMGUI_DIR}/imgui_tables.cpp
  ${LAUNCHER_IMGUI_DIR}/imgui_widgets.cpp)

# Third-party code: built without our warning flags, and its headers are system headers to our code.
function(launcher_imgui_library name)
  add_library(${name} STATIC ${ARGN})
  target_include_directories(${name} SYSTEM PUBLIC ${LAUNCHER_IMGUI_DIR} ${LAUNCHER_IMGUI_DIR}/backends)
  target_compile_definitions(${name} PUBLIC IMGUI_DISABLE_OBSOLETE_FUNCTIONS)
  target_compile_options(${name} PRIVATE -w)
endfunction()

if(WIN32)
  launcher_imgui_library(imgui ${LAUNCHER_IMGUI_CORE}
    ${LAUNCHER_IMGUI_DIR}/backends/imgui_impl_win32.cpp
    ${LAUNCHER_IMGUI_DIR}/backends/imgui_impl_dx11.cpp)
  target_link_libraries(imgui PUBLIC d3d11 dxgi d3dcompiler dwmapi imm32 gdi32 user32 ole32 shell32 uuid)
else()
  find_package(glfw3 REQUIRED)
  find_package(OpenGL REQUIRED)
  launcher_imgui_library(imgui ${LAUNCHER_IMGUI_CORE}
    ${LAUNCHER_IMGUI_DIR}/backends/imgui_impl_glfw.cpp
    ${LAUNCHER_IMGUI_DIR}/backends/imgui_impl_opengl3.cpp)
  target_link_libraries(imgui PUBLIC glfw OpenGL::GL ${CMAKE_DL_LIBS})
endif()

# The test copy: no backends, the test-engine hooks on, and asserts that stay on in every build type.
launcher_imgui_library(imgui_test ${LAUNCHER_IMGUI_CORE})
target_compile_definitions(imgui_test PUBLIC IMGUI_ENABLE_TEST_ENGINE
  "IMGUI_USER_CONFIG=\"${CMAKE_SOURCE_DIR}/tests/support/imgui_test_config.h\"")

file(GLOB LAUNCHER_UI_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/app/*.cpp)
list(FILTER LAUNCHER_UI_SOURCES INCLUDE REGEX "${LAUNCHER_UI_REGEX}")
list(FILTER LAUNCHER_UI_SOURCES EXCLUDE REGEX "/app/main_(win|linux)\\.cpp$")

add_library(launcher_ui STATIC ${LAUNCHER_UI_SOURCES})
target_link_libraries(launcher_ui PUBLIC launcher_core imgui)

add_library(launcher_ui_test STATIC ${LAUNCHER_UI_SOURCES})
target_link_libraries(launcher_ui_test PUBLIC launcher_core imgui_test)

if(WIN32)
  # The window's icon (resource 1), drawn at build time and compiled in with windres.
  enable_language(RC)
  find_package(Python3 REQUIRED COMPONENTS Interpreter)
  set(LAUNCHER_ICON ${CMAKE_BINARY_DIR}/launcher.ico)
  add_custom_command(OUTPUT ${LAUNCHER_ICON}
    COMMAND ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/cmake/make_icon.py ${LAUNCHER_ICON}
    DEPENDS ${CMAKE_SOURCE_DIR}/cmake/make_icon.py
    COMMENT "Drawing the launcher's icon"
    VERBATIM)
  set(LAUNCHER_RC ${CMAKE_BINARY_DIR}/launcher_icon.rc)
  file(CONFIGURE OUTPUT ${LAUNCHER_RC} CONTENT "1 ICON \"${LAUNCHER_ICON}\"\n")
  set_source_files_properties(${LAUNCHER_RC} PROPERTIES OBJECT_DEPENDS ${LAUNCHER_ICON})
  add_executable(launcher WIN32 ${CMAKE_SOURCE_DIR}/app/main_win.cpp ${LAUNCHER_RC})
  target_link_options(launcher PRIVATE -municode)
else()
  add_executable(launcher ${CMAKE_SOURCE_DIR}/app/main_linux.cpp)
endif()
target_link_libraries(launcher PRIVATE launcher_ui)
set_target_properties(launcher PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})

# Libraries every target links. On Windows they come from the MinGW prefix that scripts/setup builds
# (the toolchain file points find_* there); natively from Debian's packages.
find_package(Threads REQUIRED)
find_package(ZLIB REQUIRED)
find_package(LibLZMA REQUIRED)
find_package(libzip CONFIG REQUIRED)
find_path(NLOHMANN_JSON_INCLUDE_DIR nlohmann/json.hpp REQUIRED)

add_library(launcher_deps INTERFACE)
target_include_directories(launcher_deps SYSTEM INTERFACE ${NLOHMANN_JSON_INCLUDE_DIR})
target_link_libraries(launcher_deps INTERFACE libzip::zip LibLZMA::LibLZMA ZLIB::ZLIB Threads::Threads)
if(WIN32)
  target_compile_definitions(launcher_deps INTERFACE ZIP_STATIC LZMA_API_STATIC)
  target_link_libraries(launcher_deps INTERFACE winhttp ole32 shell32 uuid bcrypt ws2_32)
else()
  find_package(CURL REQUIRED)
  target_link_libraries(launcher_deps INTERFACE CURL::libcurl)
endif()

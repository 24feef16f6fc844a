# The agent peer qdvp-dch: its decoding, storage and agent logic in a static library that the
# tests link, and the program around it.
find_package(SQLite3 REQUIRED)
find_package(nlohmann_json REQUIRED)
find_package(CLI11 QUIET CONFIG)
find_package(PkgConfig REQUIRED)
pkg_check_modules(LIBPQ REQUIRED IMPORTED_TARGET GLOBAL libpq)
pkg_check_modules(MICROHTTPD REQUIRED IMPORTED_TARGET GLOBAL libmicrohttpd)

# The page's static files, compiled in.
set(dch_page_dir ${CMAKE_CURRENT_LIST_DIR}/page)
set(dch_page_files "${dch_page_dir}/index.html=/=text/html|${dch_page_dir}/page.js=/page.js=text/javascript|${dch_page_dir}/page.css=/page.css=text/css")
set(dch_page_inputs ${dch_page_dir}/index.html ${dch_page_dir}/page.js ${dch_page_dir}/page.css)
set(dch_assets_cpp ${CMAKE_BINARY_DIR}/generated/dchassets.cpp)
add_custom_command(OUTPUT ${dch_assets_cpp}
  COMMAND ${CMAKE_COMMAND} "-DOUT=${dch_assets_cpp}" "-DFILES=${dch_page_files}"
          -P ${CMAKE_CURRENT_LIST_DIR}/embed.cmake
  DEPENDS ${dch_page_inputs} ${CMAKE_CURRENT_LIST_DIR}/embed.cmake
  COMMENT "Embedding the qdvp-dch page" VERBATIM)

add_library(qdvp_dch_lib STATIC
  ${CMAKE_CURRENT_LIST_DIR}/dchaction.cpp
  ${CMAKE_CURRENT_LIST_DIR}/dchagent.cpp
  ${CMAKE_CURRENT_LIST_DIR}/dchdecode.cpp
  ${CMAKE_CURRENT_LIST_DIR}/dchfault.cpp
  ${CMAKE_CURRENT_LIST_DIR}/dchframe.cpp
  ${CMAKE_CURRENT_LIST_DIR}/dchjsonl.cpp
  ${CMAKE_CURRENT_LIST_DIR}/dchnet.cpp
  ${CMAKE_CURRENT_LIST_DIR}/dchpage.cpp
  ${CMAKE_CURRENT_LIST_DIR}/dchpg.cpp
  ${CMAKE_CURRENT_LIST_DIR}/dchsqlite.cpp
  ${CMAKE_CURRENT_LIST_DIR}/dchstore.cpp
  ${CMAKE_CURRENT_LIST_DIR}/dchview.cpp
  ${dch_assets_cpp})
target_include_directories(qdvp_dch_lib PUBLIC ${CMAKE_SOURCE_DIR})
target_link_libraries(qdvp_dch_lib PUBLIC SQLite::SQLite3 nlohmann_json::nlohmann_json
  PkgConfig::LIBPQ PkgConfig::MICROHTTPD)

add_executable(qdvp_dch ${CMAKE_CURRENT_LIST_DIR}/dchmain.cpp)
target_link_libraries(qdvp_dch PRIVATE qdvp_dch_lib)
if(TARGET CLI11::CLI11)
  target_link_libraries(qdvp_dch PRIVATE CLI11::CLI11)
endif()
set_target_properties(qdvp_dch PROPERTIES OUTPUT_NAME qdvp-dch)
target_compile_definitions(qdvp_dch PRIVATE QDVP_PACKAGE_VERSION="${PROJECT_VERSION}")

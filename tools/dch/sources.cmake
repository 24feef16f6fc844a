# The agent peer qdvp-dch: its decoding, storage and agent logic in a static library that the
# tests link, and the program around it.
find_package(SQLite3 REQUIRED)
find_package(nlohmann_json REQUIRED)
find_package(CLI11 QUIET CONFIG)

add_library(qdvp_dch_lib STATIC
  ${CMAKE_CURRENT_LIST_DIR}/dchaction.cpp
  ${CMAKE_CURRENT_LIST_DIR}/dchagent.cpp
  ${CMAKE_CURRENT_LIST_DIR}/dchdecode.cpp
  ${CMAKE_CURRENT_LIST_DIR}/dchfault.cpp
  ${CMAKE_CURRENT_LIST_DIR}/dchframe.cpp
  ${CMAKE_CURRENT_LIST_DIR}/dchjsonl.cpp
  ${CMAKE_CURRENT_LIST_DIR}/dchnet.cpp
  ${CMAKE_CURRENT_LIST_DIR}/dchstore.cpp)
target_include_directories(qdvp_dch_lib PUBLIC ${CMAKE_SOURCE_DIR})
target_link_libraries(qdvp_dch_lib PUBLIC SQLite::SQLite3 nlohmann_json::nlohmann_json)

add_executable(qdvp_dch ${CMAKE_CURRENT_LIST_DIR}/dchmain.cpp)
target_link_libraries(qdvp_dch PRIVATE qdvp_dch_lib)
if(TARGET CLI11::CLI11)
  target_link_libraries(qdvp_dch PRIVATE CLI11::CLI11)
endif()
set_target_properties(qdvp_dch PROPERTIES OUTPUT_NAME qdvp-dch)
target_compile_definitions(qdvp_dch PRIVATE QDVP_PACKAGE_VERSION="${PROJECT_VERSION}")

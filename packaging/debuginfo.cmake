# Run at install time (component dbgsym) for one binary of the build, QDVP_DEBUG_FILE: writes its
# debug information, compressed, to lib/debug/.build-id/NN/REST.debug under the install
# prefix, where gdb finds it by the binary's build identifier. The installed binaries
# themselves are stripped (CPACK_STRIP_FILES).
execute_process(COMMAND readelf -n "${QDVP_DEBUG_FILE}" OUTPUT_VARIABLE notes
                RESULT_VARIABLE rc)
string(REGEX MATCH "Build ID: ([0-9a-f]+)" found "${notes}")
if(NOT rc EQUAL 0 OR NOT found)
  message(FATAL_ERROR "${QDVP_DEBUG_FILE} has no build identifier")
endif()
set(id "${CMAKE_MATCH_1}")
string(SUBSTRING "${id}" 0 2 head)
string(SUBSTRING "${id}" 2 -1 tail)
set(dir "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}/lib/debug/.build-id/${head}")
file(MAKE_DIRECTORY "${dir}")
execute_process(COMMAND objcopy --only-keep-debug --compress-debug-sections
                        "${QDVP_DEBUG_FILE}" "${dir}/${tail}.debug" RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "objcopy could not keep the debug information of ${QDVP_DEBUG_FILE}")
endif()
file(CHMOD "${dir}/${tail}.debug" PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)

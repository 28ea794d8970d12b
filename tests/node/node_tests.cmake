# The Node.js package's tests (bindings/node), in both flavours' runs: the
# Windows node.exe and koffi that scripts/node-runtime.sh fetches into the
# build tree (once, shared by both flavours) run tests/node/*.js under Wine,
# in a prefix of their own that reports Windows 10, against this build's
# quorvel.dll. The tests that need simulated devices load the MinGW
# flavour's test build of the DLL (quorvel_node_sim) instead.
get_filename_component(qv_build_root ${CMAKE_BINARY_DIR} DIRECTORY)
set(QUORVEL_NODE_RUNTIME ${qv_build_root}/node-${QV_ARCH_NAME} CACHE PATH
  "Where scripts/node-runtime.sh puts node.exe, koffi and their Wine prefix")
set(qv_node_run ${CMAKE_SOURCE_DIR}/tests/node/run.sh)
add_test(NAME node_setup COMMAND sh ${qv_node_run} setup ${QUORVEL_NODE_RUNTIME} ${QV_ARCH_NAME})
add_test(NAME node_stop COMMAND sh ${qv_node_run} stop ${QUORVEL_NODE_RUNTIME})
set_tests_properties(node_setup PROPERTIES FIXTURES_SETUP node TIMEOUT 900)
set_tests_properties(node_stop PROPERTIES FIXTURES_CLEANUP node TIMEOUT 60)

# qv_node_test(NAME SCRIPT DLL [FIXTURES...]): node.exe runs tests/node/SCRIPT
# with QV_DLL naming the quorvel.dll to load.
function(qv_node_test name script dll)
  add_test(NAME ${name} COMMAND sh ${qv_node_run} node ${QUORVEL_NODE_RUNTIME} ${QV_ARCH_NAME}
    ${CMAKE_SOURCE_DIR}/tests/node/${script})
  set_tests_properties(${name} PROPERTIES TIMEOUT 300 FIXTURES_REQUIRED "node;${ARGN}"
    ENVIRONMENT "QV_NODE_OPTIONS=--test-force-exit;QV_DLL=Z:${dll};QV_PEER_INFO=Z:${CMAKE_BINARY_DIR}/tests/node/peer/socket_peer.txt"
    PASS_REGULAR_EXPRESSION "# fail 0" FAIL_REGULAR_EXPRESSION "# fail [1-9]|not ok ")
endfunction()

# The loopback peer of the socket tests (tests/socket/peer.py), for TCP and UDP.
set(qv_node_peer ${CMAKE_BINARY_DIR}/tests/node/peer)
add_test(NAME node_peer_start COMMAND sh ${CMAKE_SOURCE_DIR}/tests/socket/peer.sh start ${qv_node_peer})
add_test(NAME node_peer_stop COMMAND sh ${CMAKE_SOURCE_DIR}/tests/socket/peer.sh stop ${qv_node_peer})
set_tests_properties(node_peer_start PROPERTIES FIXTURES_SETUP node_peer TIMEOUT 60)
set_tests_properties(node_peer_stop PROPERTIES FIXTURES_CLEANUP node_peer TIMEOUT 60)

qv_node_test(node_sockets sockets.test.js $<TARGET_FILE:quorvel> node_peer)
qv_node_test(node_exit exit.test.js $<TARGET_FILE:quorvel> node_peer)

# The bridge benchmark: pty, gateway, bridge and a real broker to one
# subscriber. Built with the rest, run by hand (build/bridge_bench).
if(TARGET OrvelGateway AND TARGET OrvelModuleSim AND TARGET OrvelMqttBridge)
  add_executable(bridge_bench ${CMAKE_CURRENT_SOURCE_DIR}/BridgeBench.cpp
                 ${PROJECT_SOURCE_DIR}/tests/e2e/Harness.cpp)
  target_include_directories(bridge_bench PRIVATE ${PROJECT_SOURCE_DIR}/tests/e2e)
  target_link_libraries(bridge_bench PRIVATE Threads::Threads)
  target_compile_definitions(bridge_bench PRIVATE
    ORVEL_SIM_PATH="$<TARGET_FILE:OrvelModuleSim>"
    ORVEL_SHIM_PATH="$<TARGET_FILE:OrvelCtsShim>"
    ORVEL_GATEWAY_PATH="$<TARGET_FILE:OrvelGateway>"
    ORVEL_BRIDGE_PATH="$<TARGET_FILE:OrvelMqttBridge>"
    ORVEL_SANITIZER_RUNTIME="${ORVEL_SANITIZER_RUNTIME}")
  add_dependencies(bridge_bench OrvelGateway OrvelModuleSim OrvelCtsShim OrvelMqttBridge)
  set_target_properties(bridge_bench PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
endif()

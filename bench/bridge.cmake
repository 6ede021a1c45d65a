# The bridge benchmark: pty, gateway, bridge and a real broker to one
# subscriber. Built with the rest, run by hand (build/bridge_bench).
if(TARGET OrvelGateway AND TARGET OrvelModuleSim AND TARGET OrvelMqttBridge)
  orvel_bench(bridge_bench BridgeBench.cpp)
  target_compile_definitions(bridge_bench PRIVATE
    ORVEL_BRIDGE_PATH="$<TARGET_FILE:OrvelMqttBridge>")
  add_dependencies(bridge_bench OrvelMqttBridge)
endif()

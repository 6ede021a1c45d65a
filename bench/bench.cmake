# The gateway benchmark: real binaries, simulator and loopback TCP. Built with
# the rest, run by hand (build/gateway_bench); it prints figures, asserts nothing.
if(TARGET OrvelGateway AND TARGET OrvelModuleSim)
  add_executable(gateway_bench ${CMAKE_CURRENT_SOURCE_DIR}/GatewayBench.cpp
                 ${PROJECT_SOURCE_DIR}/tests/e2e/Harness.cpp)
  target_include_directories(gateway_bench PRIVATE ${PROJECT_SOURCE_DIR}/tests/e2e)
  target_link_libraries(gateway_bench PRIVATE Threads::Threads)
  target_compile_definitions(gateway_bench PRIVATE
    ORVEL_SIM_PATH="$<TARGET_FILE:OrvelModuleSim>"
    ORVEL_SHIM_PATH="$<TARGET_FILE:OrvelCtsShim>"
    ORVEL_GATEWAY_PATH="$<TARGET_FILE:OrvelGateway>"
    ORVEL_SANITIZER_RUNTIME="${ORVEL_SANITIZER_RUNTIME}"
    ORVEL_SANITIZE="${ORVEL_SANITIZE}"
    ORVEL_EMULATOR="${CMAKE_CROSSCOMPILING_EMULATOR}")
  add_dependencies(gateway_bench OrvelGateway OrvelModuleSim OrvelCtsShim)
  set_target_properties(gateway_bench PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
endif()

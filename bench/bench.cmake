# The gateway benchmark and soak: real binaries, simulator and loopback TCP.
# Built with the rest, run by hand (build/gateway_bench, build/gateway_soak);
# they print figures and assert nothing.
function(orvel_bench name main)
  add_executable(${name} ${CMAKE_CURRENT_SOURCE_DIR}/${main} ${CMAKE_CURRENT_SOURCE_DIR}/BenchSupport.cpp
                 ${PROJECT_SOURCE_DIR}/tests/e2e/Harness.cpp)
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/tests/e2e)
  target_link_libraries(${name} PRIVATE Threads::Threads)
  target_compile_definitions(${name} PRIVATE
    ORVEL_SIM_PATH="$<TARGET_FILE:OrvelModuleSim>"
    ORVEL_SHIM_PATH="$<TARGET_FILE:OrvelCtsShim>"
    ORVEL_GATEWAY_PATH="$<TARGET_FILE:OrvelGateway>"
    ORVEL_SANITIZER_RUNTIME="${ORVEL_SANITIZER_RUNTIME}"
    ORVEL_SANITIZE="${ORVEL_SANITIZE}"
    ORVEL_EMULATOR="${CMAKE_CROSSCOMPILING_EMULATOR}")
  add_dependencies(${name} OrvelGateway OrvelModuleSim OrvelCtsShim)
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
endfunction()

if(TARGET OrvelGateway AND TARGET OrvelModuleSim)
  orvel_bench(gateway_bench GatewayBench.cpp)
  orvel_bench(gateway_soak GatewaySoak.cpp)
endif()

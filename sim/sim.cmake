# The module simulator and the CTS modem-line shim: test tools only, never
# linked into the gateway.
add_executable(OrvelModuleSim
  ${CMAKE_CURRENT_LIST_DIR}/OrvelModuleSim.cpp
  ${CMAKE_CURRENT_LIST_DIR}/SimFrames.cpp
  ${CMAKE_CURRENT_LIST_DIR}/SimGpioFs.cpp
  ${CMAKE_CURRENT_LIST_DIR}/SimGpioModel.cpp
  ${CMAKE_CURRENT_LIST_DIR}/SimMesh.cpp
  ${CMAKE_CURRENT_LIST_DIR}/SimOptions.cpp
  ${CMAKE_CURRENT_LIST_DIR}/SimPty.cpp)
set_target_properties(OrvelModuleSim PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
# The sysfs GPIO stand-in is a FUSE file system served by the simulator.
find_package(PkgConfig REQUIRED)
pkg_check_modules(FUSE3 REQUIRED IMPORTED_TARGET fuse3)
target_link_libraries(OrvelModuleSim PRIVATE PkgConfig::FUSE3)
# Debian's libfuse3 for 32-bit ARM passes a 32-bit time_t in struct stat.
set_target_properties(OrvelModuleSim PROPERTIES ORVEL_TIME32 ON)

# The shim is preloaded into sanitized processes after the sanitizer runtime;
# it is built without sanitizer instrumentation so it needs no runtime itself.
add_library(OrvelCtsShim MODULE ${CMAKE_CURRENT_LIST_DIR}/CtsShim.cpp)
get_target_property(_shim_opts OrvelCtsShim COMPILE_OPTIONS)
list(FILTER _shim_opts EXCLUDE REGEX "sanitize")
set_target_properties(OrvelCtsShim PROPERTIES COMPILE_OPTIONS "${_shim_opts}" LINK_OPTIONS ""
  LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR} PREFIX "lib")
target_link_libraries(OrvelCtsShim PRIVATE ${CMAKE_DL_LIBS} Threads::Threads)

# The sanitizer runtime that must come first in LD_PRELOAD of sanitized children.
set(ORVEL_SANITIZER_RUNTIME "")
if(ORVEL_SANITIZE STREQUAL "asan")
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=libasan.so
                  OUTPUT_VARIABLE ORVEL_SANITIZER_RUNTIME OUTPUT_STRIP_TRAILING_WHITESPACE)
elseif(ORVEL_SANITIZE STREQUAL "tsan")
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=libtsan.so
                  OUTPUT_VARIABLE ORVEL_SANITIZER_RUNTIME OUTPUT_STRIP_TRAILING_WHITESPACE)
endif()
set(ORVEL_SANITIZER_RUNTIME "${ORVEL_SANITIZER_RUNTIME}" CACHE INTERNAL "")

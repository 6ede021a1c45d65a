# Release builds take Debian's hardening flags for the target architecture
# (dpkg-buildflags: _FORTIFY_SOURCE, stack protector, -z relro -z now).
# -Wdate-time is left out: the banner carries the build date by design, and
# SOURCE_DATE_EPOCH keeps it reproducible.
if(NOT ORVEL_DEB_ARCH)
  execute_process(COMMAND dpkg --print-architecture OUTPUT_VARIABLE ORVEL_DEB_ARCH
                  OUTPUT_STRIP_TRAILING_WHITESPACE)
endif()
if(CMAKE_BUILD_TYPE STREQUAL "Release")
  foreach(kind CPPFLAGS CXXFLAGS LDFLAGS)
    execute_process(COMMAND env DEB_HOST_ARCH=${ORVEL_DEB_ARCH} DEB_BUILD_MAINT_OPTIONS=hardening=+all
                            dpkg-buildflags --get ${kind}
                    WORKING_DIRECTORY ${CMAKE_SOURCE_DIR}
                    OUTPUT_VARIABLE _flags_${kind} OUTPUT_STRIP_TRAILING_WHITESPACE)
  endforeach()
  string(REPLACE "-Wdate-time" "" _flags_CPPFLAGS "${_flags_CPPFLAGS}")
  set(CMAKE_CXX_FLAGS_RELEASE "${_flags_CPPFLAGS} ${_flags_CXXFLAGS} -DNDEBUG")
  set(CMAKE_EXE_LINKER_FLAGS_RELEASE "${_flags_LDFLAGS}")
  set(CMAKE_MODULE_LINKER_FLAGS_RELEASE "${_flags_LDFLAGS}")
endif()

# The outside libraries the system links, as kolvex::sqlite3, kolvex::crypto,
# kolvex::protobuf and kolvex::zstd. A program whose KOLVEX_STATIC_LINK property is
# ON takes their static archives; every other program (test programs, benchmarks,
# tools) takes their shared libraries. kolvex itself starts once per command:
# loading and relocating the shared libraries took half of its start-up.
# kolvex_link_statically(<program>) sets the property, and links the C++ runtime
# statically too, as a position-dependent program, unless the build is sanitized.
include_guard(GLOBAL)

function(_kolvex_outside_library name shared archive_name)
  find_library(KOLVEX_${name}_ARCHIVE NAMES ${archive_name})
  add_library(kolvex_outside_${name} INTERFACE)
  if(KOLVEX_${name}_ARCHIVE)
    target_link_libraries(kolvex_outside_${name} INTERFACE
      "$<IF:$<BOOL:$<TARGET_PROPERTY:KOLVEX_STATIC_LINK>>,${KOLVEX_${name}_ARCHIVE};Threads::Threads;${CMAKE_DL_LIBS};m,${shared}>")
  else()
    target_link_libraries(kolvex_outside_${name} INTERFACE ${shared})
  endif()
  # Headers (and any definitions) come from the shared library's target either way.
  target_include_directories(kolvex_outside_${name} SYSTEM INTERFACE
    $<TARGET_PROPERTY:${shared},INTERFACE_INCLUDE_DIRECTORIES>)
  add_library(kolvex::${name} ALIAS kolvex_outside_${name})
endfunction()

_kolvex_outside_library(sqlite3 SQLite::SQLite3 libsqlite3.a)
_kolvex_outside_library(crypto OpenSSL::Crypto libcrypto.a)
_kolvex_outside_library(protobuf protobuf::libprotobuf libprotobuf.a)
_kolvex_outside_library(zstd PkgConfig::ZSTD libzstd.a)

function(kolvex_link_statically program)
  if(KOLVEX_SANITIZE)
    return()
  endif()
  set_target_properties(${program} PROPERTIES KOLVEX_STATIC_LINK ON)
  target_link_options(${program} PRIVATE -static-libstdc++ -static-libgcc -no-pie)
endfunction()

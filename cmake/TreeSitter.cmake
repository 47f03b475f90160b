# Builds the tree-sitter runtime as a static library and every grammar as its own
# shared module (tree-sitter-<lang>.so exporting only tree_sitter_<lang>), from the
# C sources of the pinned npm packages in third_party/node_modules. The versions the
# packages declare are recorded in a generated header: they feed grammar identities.
#
# With KOLVEX_THIRD_PARTY_FROM set to another build tree of this checkout, the
# runtime and the modules that tree built are used instead (see ThirdParty.cmake).
include(ThirdParty)

set(KOLVEX_NODE_MODULES "${CMAKE_SOURCE_DIR}/third_party/node_modules" CACHE PATH
    "Where npm unpacked the pinned third-party packages")
set(TS_RUNTIME_SOURCE_DIR "${KOLVEX_NODE_MODULES}/tree-sitter/vendor/tree-sitter/lib")
if(NOT EXISTS "${TS_RUNTIME_SOURCE_DIR}/src/lib.c")
  message(FATAL_ERROR "tree-sitter sources missing under ${KOLVEX_NODE_MODULES}: run ./setup.sh (npm ci in third_party/)")
endif()

# language | npm package directory | source subdirectory | entry point | distribution name
set(KOLVEX_GRAMMARS
  "python|tree-sitter-python|src|tree_sitter_python|tree-sitter-python"
  "javascript|tree-sitter-javascript|src|tree_sitter_javascript|tree-sitter-javascript"
  "typescript|tree-sitter-typescript|typescript/src|tree_sitter_typescript|tree-sitter-typescript"
  "tsx|tree-sitter-typescript|tsx/src|tree_sitter_tsx|tree-sitter-typescript"
  "java|tree-sitter-java|src|tree_sitter_java|tree-sitter-java"
  "kotlin|@tree-sitter-grammars/tree-sitter-kotlin|src|tree_sitter_kotlin|tree-sitter-kotlin"
  "swift|tree-sitter-swift|src|tree_sitter_swift|tree-sitter-swift"
  "go|tree-sitter-go|src|tree_sitter_go|tree-sitter-go"
  "ruby|tree-sitter-ruby|src|tree_sitter_ruby|tree-sitter-ruby"
  "rust|tree-sitter-rust|src|tree_sitter_rust|tree-sitter-rust"
  "c|tree-sitter-c|src|tree_sitter_c|tree-sitter-c"
  "cpp|tree-sitter-cpp|src|tree_sitter_cpp|tree-sitter-cpp"
  "c-sharp|tree-sitter-c-sharp|src|tree_sitter_c_sharp|tree-sitter-c-sharp"
  "php|tree-sitter-php|php/src|tree_sitter_php|tree-sitter-php"
  "scala|tree-sitter-scala|src|tree_sitter_scala|tree-sitter-scala"
  "bash|tree-sitter-bash|src|tree_sitter_bash|tree-sitter-bash"
  "sql|@derekstride/tree-sitter-sql|src|tree_sitter_sql|tree-sitter-sql")

if(KOLVEX_THIRD_PARTY_FROM)
  kolvex_import_third_party(tree-sitter)
  # The patched runtime sources that tree compiled.
  set(TS_RUNTIME_DIR "${KOLVEX_THIRD_PARTY_FROM}/tree-sitter-runtime")
  set(KOLVEX_GRAMMAR_OUTPUT_DIR "${KOLVEX_THIRD_PARTY_FROM}/grammars")
else()
  # Third-party C is always optimised: parsing at -O0 runs at half speed, and the
  # sanitizer build would otherwise spend its time inside generated parse tables.
  # At -O3 the runtime and the generated lexers parse 5-9% faster than at -O2 on
  # the system's C headers and Python library (bench_extract), with the same trees.
  set(KOLVEX_THIRD_PARTY_C_FLAGS -O3 -w)

  # The runtime is compiled from a copy of the vendored sources with our patches
  # applied (cmake/patches/tree-sitter-*.patch: speed only, the trees stay the
  # same). The copy is made again when the sources or a patch change.
  file(GLOB TS_RUNTIME_PATCHES CONFIGURE_DEPENDS "${CMAKE_SOURCE_DIR}/cmake/patches/tree-sitter-*.patch")
  set(TS_RUNTIME_DIR "${CMAKE_BINARY_DIR}/tree-sitter-runtime")
  file(SHA256 "${KOLVEX_NODE_MODULES}/tree-sitter/package.json" _ts_stamp)
  foreach(_patch IN LISTS TS_RUNTIME_PATCHES)
    file(SHA256 "${_patch}" _patch_hash)
    string(APPEND _ts_stamp " ${_patch_hash}")
  endforeach()
  set(_ts_stamp_file "${TS_RUNTIME_DIR}/.patched")
  kolvex_read_stamp(_ts_old_stamp "${_ts_stamp_file}")
  if(NOT _ts_old_stamp STREQUAL _ts_stamp)
    file(REMOVE_RECURSE "${TS_RUNTIME_DIR}")
    file(COPY "${TS_RUNTIME_SOURCE_DIR}/src" "${TS_RUNTIME_SOURCE_DIR}/include" DESTINATION "${TS_RUNTIME_DIR}")
    foreach(_patch IN LISTS TS_RUNTIME_PATCHES)
      execute_process(COMMAND patch --batch --quiet -p1 -d "${TS_RUNTIME_DIR}/src" -i "${_patch}"
                      RESULT_VARIABLE _patch_result OUTPUT_VARIABLE _patch_output ERROR_VARIABLE _patch_output)
      if(NOT _patch_result EQUAL 0)
        message(FATAL_ERROR "${_patch} does not apply to ${TS_RUNTIME_SOURCE_DIR}/src:\n${_patch_output}")
      endif()
    endforeach()
    file(WRITE "${_ts_stamp_file}" "${_ts_stamp}")
  endif()
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
    "${KOLVEX_NODE_MODULES}/tree-sitter/package.json" ${TS_RUNTIME_PATCHES})

  add_library(tree_sitter_runtime STATIC "${TS_RUNTIME_DIR}/src/lib.c")
  target_include_directories(tree_sitter_runtime
    PUBLIC "${TS_RUNTIME_DIR}/include"
    PRIVATE "${TS_RUNTIME_DIR}/src" "${TS_RUNTIME_DIR}/src/wasm")
  target_compile_definitions(tree_sitter_runtime PRIVATE _POSIX_C_SOURCE=200112L _DEFAULT_SOURCE)
  target_compile_options(tree_sitter_runtime PRIVATE ${KOLVEX_THIRD_PARTY_C_FLAGS})
  set_target_properties(tree_sitter_runtime PROPERTIES C_STANDARD 11 C_STANDARD_REQUIRED ON
    POSITION_INDEPENDENT_CODE ON)
  set(KOLVEX_GRAMMAR_OUTPUT_DIR "${CMAKE_BINARY_DIR}/grammars")
endif()
set(KOLVEX_GRAMMAR_INSTALL_DIR "${CMAKE_INSTALL_PREFIX}/lib/kolvex/grammars")
set(KOLVEX_GRAMMAR_TARGETS "")

function(kolvex_package_version out package_dir)
  file(READ "${KOLVEX_NODE_MODULES}/${package_dir}/package.json" _json)
  string(JSON _version GET "${_json}" version)
  set(${out} "${_version}" PARENT_SCOPE)
endfunction()

kolvex_package_version(TS_RUNTIME_VERSION tree-sitter)
set(_version_rows "    {\"tree-sitter\", \"${TS_RUNTIME_VERSION}\"},\n")
set(_module_rows "")
set(_seen_distributions "")

foreach(row IN LISTS KOLVEX_GRAMMARS)
  string(REPLACE "|" ";" fields "${row}")
  list(GET fields 0 lang)
  list(GET fields 1 package)
  list(GET fields 2 subdir)
  list(GET fields 3 symbol)
  list(GET fields 4 distribution)
  set(src "${KOLVEX_NODE_MODULES}/${package}/${subdir}")
  set(sources "${src}/parser.c")
  if(EXISTS "${src}/scanner.c")
    list(APPEND sources "${src}/scanner.c")
  endif()
  set(target "tree-sitter-${lang}")
  if(KOLVEX_THIRD_PARTY_FROM)
    install(IMPORTED_RUNTIME_ARTIFACTS ${target} LIBRARY DESTINATION lib/kolvex/grammars)
  else()
    set(map "${CMAKE_BINARY_DIR}/grammars-exports/${lang}.map")
    file(WRITE "${map}" "{ global: ${symbol}; local: *; };\n")
    add_library(${target} MODULE ${sources})
    target_include_directories(${target} PRIVATE "${src}")
    # A faster test of lexer characters against the grammar's character sets,
    # with the same answers (see the header).
    target_compile_options(${target} PRIVATE ${KOLVEX_THIRD_PARTY_C_FLAGS}
      -include "${CMAKE_SOURCE_DIR}/cmake/grammar_character_sets.h")
    target_link_options(${target} PRIVATE "-Wl,--version-script=${map}")
    set_target_properties(${target} PROPERTIES PREFIX "" OUTPUT_NAME "${target}"
      C_STANDARD 11 LIBRARY_OUTPUT_DIRECTORY "${KOLVEX_GRAMMAR_OUTPUT_DIR}"
      LINK_DEPENDS "${map}")
    install(TARGETS ${target} LIBRARY DESTINATION lib/kolvex/grammars)
  endif()
  list(APPEND KOLVEX_GRAMMAR_TARGETS ${target})
  if(NOT distribution IN_LIST _seen_distributions)
    kolvex_package_version(version "${package}")
    string(APPEND _version_rows "    {\"${distribution}\", \"${version}\"},\n")
    list(APPEND _seen_distributions "${distribution}")
  endif()
  string(APPEND _module_rows "    {\"${lang}\", \"${target}.so\", \"${symbol}\"},\n")
endforeach()

if(KOLVEX_THIRD_PARTY_FROM)
  add_custom_target(grammars)
else()
  add_custom_target(grammars DEPENDS ${KOLVEX_GRAMMAR_TARGETS})
  kolvex_export_third_party(tree-sitter tree_sitter_runtime ${KOLVEX_GRAMMAR_TARGETS})
endif()

set(KOLVEX_GENERATED_DIR "${CMAKE_BINARY_DIR}/generated")
configure_file("${CMAKE_SOURCE_DIR}/cmake/build_info.h.in" "${KOLVEX_GENERATED_DIR}/build_info.h" @ONLY)

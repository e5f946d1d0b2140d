# Links velmora_module so that it needs at run time only glibc, the GCC
# unwinder (libgcc_s) and the libraries its wheel carries in velmora.libs/.
# Included by CMakeLists.txt unless VELMORA_SELF_CONTAINED is off or the build
# uses sanitizers.
#
# - OpenSSL's libcrypto, ICU's common library and most of Abseil come from
#   Debian's static archives, libstdc++ from the compiler's; {fmt} is
#   header-only already.
# - oneTBB stays shared, as its authors advise: one scheduler per process.
#   The module finds it through a run path relative to itself.
# - The unwinder stays shared: oneTBB carries the module's exceptions from
#   pool threads to the caller, and both sides must unwind with one unwinder.
#   (The static one would also ask for glibc 2.35.)
# - Only PyInit_velmora is exported, so the archived copies never interpose
#   on (or get interposed by) other copies of those libraries in the process,
#   such as the interpreter's own libcrypto.

# The archive that Debian ships beside a shared library found by CMake.
function(velmora_archive_of var shared)
  string(REGEX REPLACE "\\.so(\\.[0-9.]+)?$" ".a" archive "${shared}")
  if(NOT EXISTS "${archive}")
    message(FATAL_ERROR "No static archive ${archive} beside ${shared} (see scripts/install-deps)")
  endif()
  set(${var} "${archive}" PARENT_SCOPE)
endfunction()

# Debian compiles Abseil's archives as position-dependent code, and the one of
# raw_hash_set keeps a thread_local in the executable-only TLS model, which no
# shared object can hold. That library (with the logging one it needs) stays
# shared and travels with the wheel like oneTBB; both need only glibc. The
# module names both directly, so that the loader finds the logging library
# through the module's run path. Every other Abseil archive links statically.
get_target_property(velmora_absl_base absl::base LOCATION)
get_filename_component(velmora_absl_dir "${velmora_absl_base}" DIRECTORY)
set(velmora_absl_shared)
foreach(name raw_hash_set raw_logging_internal)
  get_target_property(location absl::${name} LOCATION)
  list(APPEND velmora_absl_shared "${location}")
endforeach()
file(GLOB velmora_absl_archives "${velmora_absl_dir}/libabsl_*.a")
list(FILTER velmora_absl_archives EXCLUDE REGEX "/libabsl_(raw_hash_set|raw_logging_internal)\\.a$")
if(NOT velmora_absl_archives)
  message(FATAL_ERROR "No Abseil archives in ${velmora_absl_dir} (see scripts/install-deps)")
endif()
velmora_archive_of(velmora_crypto_archive "${OPENSSL_CRYPTO_LIBRARY}")
velmora_archive_of(velmora_icuuc_archive "${ICU_UC_LIBRARY}")

# ICU's data package and the C library globals that its archive cannot
# reach from a shared object: see icu_stubs.cpp.
target_sources(velmora_module PRIVATE ${CMAKE_CURRENT_LIST_DIR}/icu_stubs.cpp)

set_target_properties(velmora_module PROPERTIES
  VELMORA_STATIC_DEPS ON
  BUILD_RPATH "$ORIGIN/velmora.libs"
  LINK_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/module.map)
target_link_options(velmora_module PRIVATE
  -static-libstdc++
  "LINKER:--version-script=${CMAKE_CURRENT_LIST_DIR}/module.map"
  "LINKER:--exclude-libs,ALL" "LINKER:--gc-sections" "LINKER:--as-needed")
target_link_libraries(velmora_module PRIVATE
  "-Wl,--no-as-needed" ${velmora_absl_shared} "-Wl,--as-needed"
  "-Wl,--start-group" ${velmora_absl_archives} "-Wl,--end-group"
  ${velmora_icuuc_archive} ${velmora_crypto_archive}
  TBB::tbb Threads::Threads ${CMAKE_DL_LIBS})

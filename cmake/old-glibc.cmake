# Prebuilt Linux binaries (KINOVAR_PORTABLE) load on glibc 2.28 and later with
# any libstdc++, which scripts/prebuild.js checks with objdump. libstdc++ goes
# in statically, its symbols hidden so that they never bind to another copy
# in the process; libgcc stays shared (its unwinder would need glibc 2.35).
# The functions glibc versioned anew after 2.28 are redirected to
# old-glibc.cpp, whose __wrap_ definitions name them. The generator is a
# static executable: it needs no library at all.
set(KINOVAR_OLD_GLIBC ${CMAKE_CURRENT_LIST_DIR}/old-glibc.cpp)
file(STRINGS ${KINOVAR_OLD_GLIBC} KINOVAR_WRAPPED REGEX "__wrap_[A-Za-z0-9_]+")
string(REGEX MATCHALL "__wrap_[A-Za-z0-9_]+" KINOVAR_WRAPPED "${KINOVAR_WRAPPED}")
string(REPLACE "__wrap_" "-Wl,--wrap=" KINOVAR_WRAPPED "${KINOVAR_WRAPPED}")
list(REMOVE_DUPLICATES KINOVAR_WRAPPED)

# Every Node module the build makes (each a .node library).
get_directory_property(KINOVAR_TARGETS BUILDSYSTEM_TARGETS)
foreach(target ${KINOVAR_TARGETS})
  get_target_property(suffix ${target} SUFFIX)
  if(suffix STREQUAL ".node")
    target_sources(${target} PRIVATE ${KINOVAR_OLD_GLIBC})
    # Before 2.34 pthread lived in libpthread: name it so that it is loaded there.
    target_link_options(${target} PRIVATE -static-libstdc++ -Wl,--exclude-libs,ALL ${KINOVAR_WRAPPED}
      -Wl,--no-as-needed -l:libpthread.so.0 -Wl,--as-needed)
  endif()
endforeach()
target_link_options(kinovar-gen PRIVATE -static)

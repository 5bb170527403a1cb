# The hardening Debian builds its packages with: the flags dpkg-buildflags gives with every
# hardening feature on (stack protector, stack clash protection, fortified functions,
# format checks, read-only relocations bound at start), taken from the tool so they follow
# the distribution. Only the hardening flags are taken: the build type keeps choosing
# optimisation and debug information. Optimised native builds only: fortification needs
# the optimiser, and the sanitizers bring checks of their own.
if(NOT VARNEL_HARDENING OR WIN32 OR CMAKE_CROSSCOMPILING OR CMAKE_CXX_FLAGS MATCHES "sanitize")
  return()
endif()
if(NOT CMAKE_BUILD_TYPE MATCHES "^(Release|RelWithDebInfo|MinSizeRel)$")
  return()
endif()
find_program(VARNEL_DPKG_BUILDFLAGS dpkg-buildflags)
if(NOT VARNEL_DPKG_BUILDFLAGS)
  message(STATUS "Hardening: dpkg-buildflags not found, the compiler's defaults apply")
  return()
endif()

set(VARNEL_HARDENING_PATTERN
  "^(-D_FORTIFY_SOURCE=[0-9]+|-fstack-protector.*|-fstack-clash-protection|-fcf-protection.*|-Wformat.*|-Werror=format-security|-Wl,-z,.*|-fPIE|-pie|-mbranch-protection=.*)$")
foreach(kind CPPFLAGS CXXFLAGS LDFLAGS)
  execute_process(
    COMMAND ${CMAKE_COMMAND} -E env DEB_BUILD_MAINT_OPTIONS=hardening=+all ${VARNEL_DPKG_BUILDFLAGS} --get ${kind}
    OUTPUT_VARIABLE flags OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE result)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "dpkg-buildflags --get ${kind} failed (${result}); -DVARNEL_HARDENING=OFF builds without it")
  endif()
  separate_arguments(flags UNIX_COMMAND "${flags}")
  set(VARNEL_HARDENING_${kind})
  foreach(flag ${flags})
    if(flag MATCHES "${VARNEL_HARDENING_PATTERN}")
      list(APPEND VARNEL_HARDENING_${kind} ${flag})
    endif()
  endforeach()
endforeach()

add_compile_options(${VARNEL_HARDENING_CPPFLAGS} ${VARNEL_HARDENING_CXXFLAGS})
add_link_options(${VARNEL_HARDENING_LDFLAGS})
list(JOIN VARNEL_HARDENING_CPPFLAGS " " shown_cpp)
list(JOIN VARNEL_HARDENING_CXXFLAGS " " shown_cxx)
list(JOIN VARNEL_HARDENING_LDFLAGS " " shown_ld)
message(STATUS "Hardening (dpkg-buildflags): ${shown_cpp} ${shown_cxx} ${shown_ld}")

# How the installer downloads, checked at configure time like the trust options: a choice that
# cannot be built stops the configure step with a message naming the option.
#
#   VELMORA_TRANSPORT=socket  the installer's own HTTP client over Winsock (the default)
#   VELMORA_TRANSPORT=system  WinINet: the user's proxy settings, proxy authentication, the
#                             system's certificate checks
#   VELMORA_HTTPS=ON          HTTPS on port 443; needs the system transport, the socket client
#                             speaks no TLS
#
# Also runs as a script, which is how the conformance driver tries the refused combinations
# without configuring the project:
#   cmake -DVELMORA_TRANSPORT=... -DVELMORA_HTTPS=... -P cmake/transport.cmake

# Sets VELMORA_TRANSPORT_SYSTEM (0/1) and VELMORA_DOWNLOAD_PORT in the caller's scope, or stops.
function(velmora_check_transport)
  if(NOT VELMORA_TRANSPORT MATCHES "^(socket|system)$")
    message(FATAL_ERROR "VELMORA_TRANSPORT: \"${VELMORA_TRANSPORT}\" is neither socket (the "
                        "installer's own client, the default) nor system (WinINet)")
  endif()
  if(VELMORA_HTTPS AND NOT VELMORA_TRANSPORT STREQUAL "system")
    message(FATAL_ERROR "VELMORA_HTTPS needs VELMORA_TRANSPORT=system: the socket client "
                        "speaks plain HTTP only, and HTTPS is never hand-written here")
  endif()
  if(VELMORA_TRANSPORT STREQUAL "system")
    set(VELMORA_TRANSPORT_SYSTEM 1 PARENT_SCOPE)
  else()
    set(VELMORA_TRANSPORT_SYSTEM 0 PARENT_SCOPE)
  endif()
  if(VELMORA_HTTPS)
    set(VELMORA_DOWNLOAD_PORT 443 PARENT_SCOPE)
  else()
    set(VELMORA_DOWNLOAD_PORT 80 PARENT_SCOPE)
  endif()
endfunction()

if(CMAKE_SCRIPT_MODE_FILE)
  velmora_check_transport()
  message(STATUS "transport ${VELMORA_TRANSPORT}, port ${VELMORA_DOWNLOAD_PORT}")
endif()

# Fails when a core source includes a Qt or GStreamer header: the core must build
# and be tested on the standard library alone.
file(GLOB_RECURSE sources "${CORE_DIR}/*.h" "${CORE_DIR}/*.cpp")
if(NOT sources)
  message(SEND_ERROR "No core sources found under ${CORE_DIR}")
endif()
foreach(source IN LISTS sources)
  file(STRINGS "${source}" includes REGEX "^[ \t]*#[ \t]*include[ \t]*[<\"](Q[A-Z][A-Za-z]*|Qt[A-Za-z]*|gst/|glib|gio/|qt)")
  if(includes)
    message(SEND_ERROR "${source} includes a UI or media header: ${includes}")
  endif()
endforeach()

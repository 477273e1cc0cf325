# Fails when a core source includes a Qt or GStreamer header: the core must build
# and be tested on the standard library alone.
file(GLOB sources "${CORE_DIR}/*.h" "${CORE_DIR}/*.cpp")
foreach(source IN LISTS sources)
  file(STRINGS "${source}" includes REGEX "^[ \t]*#[ \t]*include[ \t]*[<\"](Q[A-Z][A-Za-z]*|Qt[A-Za-z]*|gst/|glib|gio/|qt)")
  if(includes)
    message(SEND_ERROR "${source} includes a UI or media header: ${includes}")
  endif()
endforeach()

# Each room of the player (and of the core) builds with only the include paths
# its row of docs/ARCHITECTURE.md allows, so a forbidden include does not
# compile. A quoted include with a folder in it ("../facade/X.h") would get
# round that: this fails on any under ROOMS_DIR.
file(GLOB_RECURSE sources "${ROOMS_DIR}/*.h" "${ROOMS_DIR}/*.cpp")
if(NOT sources)
  message(SEND_ERROR "No sources found under ${ROOMS_DIR}")
endif()
foreach(source IN LISTS sources)
  file(STRINGS "${source}" includes REGEX "^[ \t]*#[ \t]*include[ \t]*\"[^\"]*/")
  if(includes)
    message(SEND_ERROR "${source} includes by a path, past its room's include paths: ${includes}")
  endif()
endforeach()

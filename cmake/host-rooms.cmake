# The host program's rooms, each a static library. Includes go one way:
# contained, formats -> import -> texture, mesh_edit, names, bake -> export, host;
# formats reads exported sets with view; cli and view say things through console.
foreach(room console bake names mesh_edit texture import contained formats)
  add_subdirectory(${room})
endforeach()

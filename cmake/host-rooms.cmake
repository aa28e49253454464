# The host program's rooms, each a static library. Includes go one way:
# contained -> import -> texture, mesh_edit, names, bake -> export, host.
foreach(room bake names mesh_edit texture import contained)
  add_subdirectory(${room})
endforeach()

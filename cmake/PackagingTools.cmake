# Read by cpack before it makes a package (CPACK_PROJECT_CONFIG_FILE). A .deb
# takes its Depends from dpkg-shlibdeps, run on the binaries that file finds:
# without either, cpack would fail or make a package that depends on nothing.
if(CPACK_GENERATOR STREQUAL "DEB")
  foreach(tool_package IN ITEMS "file:file" "dpkg-shlibdeps:dpkg-dev")
    string(REPLACE ":" ";" tool_package "${tool_package}")
    list(GET tool_package 0 tool)
    list(GET tool_package 1 package)
    find_program(RESTAMP_PACKAGING_TOOL_${tool} ${tool})
    if(NOT RESTAMP_PACKAGING_TOOL_${tool})
      message(FATAL_ERROR "${tool} is needed to make the .deb: apt-get install ${package}")
    endif()
  endforeach()
endif()

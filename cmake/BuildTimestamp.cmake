# restamp_build_timestamp(VAR SOURCE): the build time in the form of
# __TIMESTAMP__, "Mon Oct  5 18:11:59 2026". With SOURCE_DATE_EPOCH set it is
# that time in UTC; otherwise it is SOURCE's modification time in local time, as
# __TIMESTAMP__ gives it, and CMake configures again when SOURCE changes.
function(restamp_build_timestamp var source)
  set(format "%a %b %d %H:%M:%S %Y")
  if(DEFINED ENV{SOURCE_DATE_EPOCH})
    string(TIMESTAMP stamp "${format}" UTC) # CMake takes it from SOURCE_DATE_EPOCH
  else()
    file(TIMESTAMP "${source}" stamp "${format}")
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${source}")
  endif()
  # The day of the month is padded with a blank, not a zero.
  string(REGEX REPLACE "^([A-Za-z]+ [A-Za-z]+) 0" "\\1  " stamp "${stamp}")
  set(${var} "${stamp}" PARENT_SCOPE)
endfunction()

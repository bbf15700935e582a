# Finds pngcheck, which the black-box tests use to check the files restamp writes.
# Sets Pngcheck_FOUND and PNGCHECK_EXECUTABLE.
find_program(PNGCHECK_EXECUTABLE pngcheck)
include(FindPackageHandleStandardArgs)
find_package_handle_standard_args(Pngcheck REQUIRED_VARS PNGCHECK_EXECUTABLE)

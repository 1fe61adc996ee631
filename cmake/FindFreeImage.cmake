# Finds FreeImage, which ships neither a pkg-config file nor a CMake package of its own (Debian's
# does not; the fork's, built here from source where needed, does not need finding).
# Searched first under FreeImage_ROOT (a CMake or environment variable) and CMAKE_PREFIX_PATH,
# as <prefix>/include and <prefix>/lib, then in the system's directories. Gives the imported
# target FreeImage::FreeImage.
find_path(FreeImage_INCLUDE_DIR FreeImage.h)
# Directory by directory, each name in turn: a prefix's libFreeImage.so (the fork's name) comes
# before the system's libfreeimage.so.
find_library(FreeImage_LIBRARY NAMES freeimage FreeImage NAMES_PER_DIR)
include(FindPackageHandleStandardArgs)
find_package_handle_standard_args(FreeImage REQUIRED_VARS FreeImage_LIBRARY FreeImage_INCLUDE_DIR
  REASON_FAILURE_MESSAGE
  "no FreeImage under the prefix named, which must hold include/FreeImage.h and lib/libfreeimage.so")
if(FreeImage_FOUND AND NOT TARGET FreeImage::FreeImage)
  add_library(FreeImage::FreeImage UNKNOWN IMPORTED)
  set_target_properties(FreeImage::FreeImage PROPERTIES
    IMPORTED_LOCATION "${FreeImage_LIBRARY}"
    INTERFACE_INCLUDE_DIRECTORIES "${FreeImage_INCLUDE_DIR}")
endif()
mark_as_advanced(FreeImage_INCLUDE_DIR FreeImage_LIBRARY)

# Finds FreeImage, which ships neither a pkg-config file nor a CMake package of its own (Debian's
# does not; the fork's, built here from source where needed, does not need finding). A prefix
# named in FreeImage_ROOT is the only place looked in, as <prefix>/include and <prefix>/lib, so
# that a wrong one fails rather than quietly gives the system's; else CMAKE_PREFIX_PATH, then the
# system's directories. Looked up at every configure, not cached, so that a choice changed in a
# build directory holds. Gives the imported target FreeImage::FreeImage.
if(FreeImage_ROOT)
  set(FreeImage_ONLY PATHS "${FreeImage_ROOT}" NO_DEFAULT_PATH)
endif()
find_path(FreeImage_INCLUDE_DIR FreeImage.h PATH_SUFFIXES include ${FreeImage_ONLY} NO_CACHE)
# Directory by directory, each name in turn: a prefix's libFreeImage.so (the fork's name) comes
# before the system's libfreeimage.so.
find_library(FreeImage_LIBRARY NAMES freeimage FreeImage NAMES_PER_DIR PATH_SUFFIXES lib
  ${FreeImage_ONLY} NO_CACHE)
include(FindPackageHandleStandardArgs)
find_package_handle_standard_args(FreeImage REQUIRED_VARS FreeImage_LIBRARY FreeImage_INCLUDE_DIR
  REASON_FAILURE_MESSAGE
  "no FreeImage under ${FreeImage_ROOT}, which must hold include/FreeImage.h and lib/libfreeimage.so")
if(FreeImage_FOUND AND NOT TARGET FreeImage::FreeImage)
  add_library(FreeImage::FreeImage UNKNOWN IMPORTED)
  set_target_properties(FreeImage::FreeImage PROPERTIES
    IMPORTED_LOCATION "${FreeImage_LIBRARY}"
    INTERFACE_INCLUDE_DIRECTORIES "${FreeImage_INCLUDE_DIR}")
endif()

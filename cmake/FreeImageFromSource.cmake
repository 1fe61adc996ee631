# FreeImage for systems that ship none: the maintained fork (openFrameworks'), fetched at one
# release and built here, at configure time, as a shared library of this build tree. The tool
# links it, finds it through its run path, and installs it beside itself, in a directory of its
# own; other programs never see it. Shared, not static, so that FreeImage's functions can still
# be interposed (LD_PRELOAD), as the tests do.
#
# The release is pinned by its commit id, checked after the download: a tag that has moved fails
# here. FREEIMAGE_REPO names another place to fetch it from, a git URL or a path (relative: from
# the project's top). FetchContent's own settings apply too: FETCHCONTENT_SOURCE_DIR_FREEIMAGE
# takes an unpacked source as it is (unchecked: it is yours), FETCHCONTENT_FULLY_DISCONNECTED
# reuses the last download.
#
# Sets FreeImage_INCLUDE_DIR, FreeImage_LIBRARY and the target FreeImage::FreeImage, as
# FindFreeImage does, and freeimage_prefix, where the library and its header are.
#
# Costs: the first configure clones the fork at its release and compiles it, a few minutes on two
# cores; later ones check that it is built, in seconds. Its PNG and zlib are the system's
# (Debian's libpng-dev, zlib1g-dev), its other codecs its own.
set(freeimage_tag 3.19.13)
set(freeimage_commit b16dd6cd89abcb8f547cc55c06e88630fceb678d)

find_package(Git REQUIRED)
set(freeimage_repo "${FREEIMAGE_REPO}")
if(NOT freeimage_repo MATCHES ":")
  get_filename_component(freeimage_repo "${freeimage_repo}" ABSOLUTE
    BASE_DIR "${PROJECT_SOURCE_DIR}")
endif()
include(FetchContent)
set(freeimage_prefix "${FETCHCONTENT_BASE_DIR}/freeimage-install")
set(freeimage_why "FreeImage not found")
if(FREEIMAGE_FROM_SOURCE)
  set(freeimage_why "FREEIMAGE_FROM_SOURCE is on")
endif()
if(EXISTS "${freeimage_prefix}/lib/libFreeImage.so")
  message(STATUS "${freeimage_why}: FreeImage ${freeimage_tag}, built here from source")
else()
  message(STATUS "${freeimage_why}: building FreeImage ${freeimage_tag} from source, fetched "
    "from ${freeimage_repo} (FREEIMAGE_REPO names another place); several minutes")
endif()
# Fetched only: its own build, below, keeps its options, flags and install rules out of ours.
FetchContent_Declare(freeimage GIT_REPOSITORY "${freeimage_repo}" GIT_TAG ${freeimage_tag}
  GIT_SHALLOW ON SOURCE_SUBDIR not-added-to-this-build)
FetchContent_MakeAvailable(freeimage)
if(NOT FETCHCONTENT_SOURCE_DIR_FREEIMAGE)
  execute_process(COMMAND "${GIT_EXECUTABLE}" -C "${freeimage_SOURCE_DIR}" rev-parse HEAD
    OUTPUT_VARIABLE freeimage_head OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "git cannot read the commit of ${freeimage_SOURCE_DIR}; the reason is "
      "above.")
  elseif(NOT freeimage_head STREQUAL freeimage_commit)
    message(FATAL_ERROR "FreeImage ${freeimage_tag} from ${freeimage_repo} is commit "
      "'${freeimage_head}', not ${freeimage_commit}: the tag has moved, or that is not "
      "FreeImage's repository. Nothing was built from it.")
  endif()
endif()

if(CMAKE_TOOLCHAIN_FILE)
  set(freeimage_toolchain "-DCMAKE_TOOLCHAIN_FILE=${CMAKE_TOOLCHAIN_FILE}")
endif()
cmake_host_system_information(RESULT freeimage_jobs QUERY NUMBER_OF_LOGICAL_CORES)
# Hardened as Debian's packages are, with what every compiler and target takes: fortified
# functions, a stack protector, read-only relocations. The compiler's progress shows; its
# warnings, which are the fork's to mend, do not, and the rest only if it fails.
set(freeimage_flags "-D_FORTIFY_SOURCE=2 -fstack-protector-strong -w")
execute_process(COMMAND "${CMAKE_COMMAND}" -S "${freeimage_SOURCE_DIR}" -B "${freeimage_BINARY_DIR}"
  -G "${CMAKE_GENERATOR}" ${freeimage_toolchain} -DCMAKE_BUILD_TYPE=Release
  "-DCMAKE_C_FLAGS=${freeimage_flags}" "-DCMAKE_CXX_FLAGS=${freeimage_flags}"
  "-DCMAKE_SHARED_LINKER_FLAGS=-Wl,-z,relro -Wl,-z,now"
  -DBUILD_SHARED_LIBS=ON -DUSE_SYSTEM_LIBPNG=ON -DUSE_SYSTEM_ZLIB=ON
  "-DCMAKE_INSTALL_PREFIX=${freeimage_prefix}" OUTPUT_QUIET RESULT_VARIABLE failed)
if(NOT failed)
  execute_process(COMMAND "${CMAKE_COMMAND}" --build "${freeimage_BINARY_DIR}"
    --parallel ${freeimage_jobs} RESULT_VARIABLE failed)
endif()
if(NOT failed)
  execute_process(COMMAND "${CMAKE_COMMAND}" --install "${freeimage_BINARY_DIR}" --strip
    OUTPUT_QUIET RESULT_VARIABLE failed)
endif()
if(failed)
  message(FATAL_ERROR "Building FreeImage from source failed; the reason is above.")
endif()
message(STATUS "FreeImage ${freeimage_tag} is built, in ${freeimage_prefix}")

# Plain variables, not the cache: the next configure decides again, the same way.
set(FreeImage_INCLUDE_DIR "${freeimage_prefix}/include")
set(FreeImage_LIBRARY "${freeimage_prefix}/lib/libFreeImage.so")
add_library(FreeImage::FreeImage SHARED IMPORTED)
set_target_properties(FreeImage::FreeImage PROPERTIES
  IMPORTED_LOCATION "${FreeImage_LIBRARY}"
  INTERFACE_INCLUDE_DIRECTORIES "${FreeImage_INCLUDE_DIR}")

# Installed where Debian keeps a library private to one program, lib/<triplet>/vozk-render: no
# other program searches it, and ldconfig never looks there (so the package runs no maintainer
# script for it). The lintian overrides say why the package may carry FreeImage's codecs.
string(JOIN / freeimage_libdir lib ${CMAKE_LIBRARY_ARCHITECTURE} vozk-render)
file(RELATIVE_PATH freeimage_rpath "/${CMAKE_INSTALL_BINDIR}" "/${freeimage_libdir}")
set(CMAKE_INSTALL_RPATH "$ORIGIN/${freeimage_rpath}")
install(FILES "${FreeImage_LIBRARY}" DESTINATION "${freeimage_libdir}")
install(FILES packaging/lintian-overrides DESTINATION "${CMAKE_INSTALL_DATADIR}/lintian/overrides"
  RENAME vozk-render)
# dpkg-shlibdeps finds it there (it does not follow $ORIGIN), and the package's Depends take what
# it needs.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS "${freeimage_prefix}/lib")

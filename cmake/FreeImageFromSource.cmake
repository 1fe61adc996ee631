# FreeImage for systems that ship none: the maintained fork (openFrameworks'), fetched at one
# release and built here, at configure time, as a shared library of this build tree, with the
# libpng it bundles and zlib-ng (in its zlib-compatible form) linked into it. The tool links it,
# finds it through its run path, and installs it beside itself, in a directory of its own; other
# programs never see it. Shared, not static, so that FreeImage's functions can still be
# interposed (LD_PRELOAD), as the tests do.
#
# zlib-ng rather than the system's zlib: it compresses the same data at the same level in about
# two thirds of the time and a little smaller, and the library then needs no PNG or zlib of the
# system's. Built as a static, position-independent library that goes inside libFreeImage.so.
#
# Each release is pinned by its commit id, checked after the download: a tag that has moved fails
# here, before anything is built. FREEIMAGE_REPO and ZLIBNG_REPO name other places to fetch them
# from, a git URL or a path (relative: from the project's top). FetchContent's own settings apply
# too: FETCHCONTENT_SOURCE_DIR_FREEIMAGE (or _ZLIBNG) takes an unpacked source as it is
# (unchecked: it is yours), FETCHCONTENT_FULLY_DISCONNECTED reuses the last download.
#
# Sets FreeImage_INCLUDE_DIR, FreeImage_LIBRARY and the target FreeImage::FreeImage, as
# FindFreeImage does, and freeimage_prefix, where the library and its header are.
#
# Costs: the first configure clones both releases and compiles them, a few minutes on two cores;
# later ones check that they are built, in seconds. The library is about 6 MB: FreeImage's other
# codecs are its own too, and cannot be left out.
set(freeimage_tag 3.19.13)
set(freeimage_commit b16dd6cd89abcb8f547cc55c06e88630fceb678d)
set(zlibng_tag 2.2.2)
set(zlibng_commit c939498c7f2a1d645833a98251365e2c814fd736)

find_package(Git REQUIRED)
include(FetchContent)

# Fetches name's source at tag from repo into name_SOURCE_DIR, and fails unless it is commit.
# Fetched only: its own build, below, keeps its options, flags and install rules out of ours.
# A path is fetched as a file:// URL, which git clones shallow, as it would a remote.
function(vozk_fetch name label repo tag commit)
  if(NOT repo MATCHES ":")
    get_filename_component(repo "${repo}" ABSOLUTE BASE_DIR "${PROJECT_SOURCE_DIR}")
    set(repo "file://${repo}")
  endif()
  FetchContent_Declare(${name} GIT_REPOSITORY "${repo}" GIT_TAG ${tag} GIT_SHALLOW ON
    SOURCE_SUBDIR not-added-to-this-build)
  FetchContent_MakeAvailable(${name})
  string(TOUPPER ${name} upper)
  if(NOT FETCHCONTENT_SOURCE_DIR_${upper})
    execute_process(COMMAND "${GIT_EXECUTABLE}" -C "${${name}_SOURCE_DIR}" rev-parse HEAD
      OUTPUT_VARIABLE head OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE failed)
    if(failed)
      message(FATAL_ERROR "git cannot read the commit of ${${name}_SOURCE_DIR}; the reason is "
        "above.")
    elseif(NOT head STREQUAL commit)
      message(FATAL_ERROR "${label} ${tag} from ${repo} is commit '${head}', not ${commit}: the "
        "tag has moved, or that is not ${label}'s repository. Nothing was built from it.")
    endif()
  endif()
  set(${name}_SOURCE_DIR "${${name}_SOURCE_DIR}" PARENT_SCOPE)
  set(${name}_BINARY_DIR "${${name}_BINARY_DIR}" PARENT_SCOPE)
endfunction()

if(CMAKE_TOOLCHAIN_FILE)
  set(freeimage_toolchain "-DCMAKE_TOOLCHAIN_FILE=${CMAKE_TOOLCHAIN_FILE}")
endif()
cmake_host_system_information(RESULT freeimage_jobs QUERY NUMBER_OF_LOGICAL_CORES)
# Hardened as Debian's packages are, with what every compiler and target takes: fortified
# functions, a stack protector, read-only relocations. The compiler's progress shows; its
# warnings, which are theirs to mend, do not, and the rest only if it fails.
set(freeimage_flags "-D_FORTIFY_SOURCE=2 -fstack-protector-strong -w")

# Configures, builds and installs name's fetched source into prefix, in Release, with the further
# CMake arguments given.
function(vozk_build name label prefix)
  execute_process(COMMAND "${CMAKE_COMMAND}" -S "${${name}_SOURCE_DIR}" -B "${${name}_BINARY_DIR}"
    -G "${CMAKE_GENERATOR}" ${freeimage_toolchain} -DCMAKE_BUILD_TYPE=Release
    "-DCMAKE_C_FLAGS=${freeimage_flags}" "-DCMAKE_INSTALL_PREFIX=${prefix}" ${ARGN}
    OUTPUT_QUIET RESULT_VARIABLE failed)
  if(NOT failed)
    execute_process(COMMAND "${CMAKE_COMMAND}" --build "${${name}_BINARY_DIR}"
      --parallel ${freeimage_jobs} RESULT_VARIABLE failed)
  endif()
  if(NOT failed)
    execute_process(COMMAND "${CMAKE_COMMAND}" --install "${${name}_BINARY_DIR}" --strip
      OUTPUT_QUIET RESULT_VARIABLE failed)
  endif()
  if(failed)
    message(FATAL_ERROR "Building ${label} from source failed; the reason is above.")
  endif()
endfunction()

set(freeimage_prefix "${FETCHCONTENT_BASE_DIR}/freeimage-install")
set(zlibng_prefix "${FETCHCONTENT_BASE_DIR}/zlibng-install")
set(freeimage_why "FreeImage not found")
if(FREEIMAGE_FROM_SOURCE)
  set(freeimage_why "FREEIMAGE_FROM_SOURCE is on")
endif()
if(EXISTS "${freeimage_prefix}/lib/libFreeImage.so")
  message(STATUS "${freeimage_why}: FreeImage ${freeimage_tag} with zlib-ng ${zlibng_tag}, built "
    "here from source")
else()
  message(STATUS "${freeimage_why}: building FreeImage ${freeimage_tag} and zlib-ng "
    "${zlibng_tag} from source, fetched from ${FREEIMAGE_REPO} and ${ZLIBNG_REPO} "
    "(FREEIMAGE_REPO and ZLIBNG_REPO name other places); several minutes")
endif()
# Both are fetched and checked before either is built.
vozk_fetch(freeimage FreeImage "${FREEIMAGE_REPO}" ${freeimage_tag} ${freeimage_commit})
vozk_fetch(zlibng zlib-ng "${ZLIBNG_REPO}" ${zlibng_tag} ${zlibng_commit})
# zlib-ng in prefix/lib whatever the system's layout (lib64), where the fork's build looks.
vozk_build(zlibng zlib-ng "${zlibng_prefix}" -DCMAKE_INSTALL_LIBDIR=lib -DZLIB_COMPAT=ON
  -DBUILD_SHARED_LIBS=OFF -DCMAKE_POSITION_INDEPENDENT_CODE=ON -DZLIB_ENABLE_TESTS=OFF
  -DZLIBNG_ENABLE_TESTS=OFF -DWITH_GTEST=OFF)
vozk_build(freeimage FreeImage "${freeimage_prefix}" -DBUILD_SHARED_LIBS=ON
  "-DCMAKE_CXX_FLAGS=${freeimage_flags}" "-DCMAKE_SHARED_LINKER_FLAGS=-Wl,-z,relro -Wl,-z,now"
  -DUSE_SYSTEM_LIBPNG=OFF -DUSE_SYSTEM_ZLIB=ON "-DZLIB_LIBRARY=${zlibng_prefix}/lib/libz.a"
  "-DZLIB_INCLUDE_DIR=${zlibng_prefix}/include")
message(STATUS "FreeImage ${freeimage_tag} is built, in ${freeimage_prefix}")

# Plain variables, not the cache: the next configure decides again, the same way.
set(FreeImage_INCLUDE_DIR "${freeimage_prefix}/include")
set(FreeImage_LIBRARY "${freeimage_prefix}/lib/libFreeImage.so")
add_library(FreeImage::FreeImage SHARED IMPORTED)
set_target_properties(FreeImage::FreeImage PROPERTIES
  IMPORTED_LOCATION "${FreeImage_LIBRARY}"
  INTERFACE_INCLUDE_DIRECTORIES "${FreeImage_INCLUDE_DIR}")

# Installed where the system keeps a library private to one program: lib/<triplet>/vozk-render
# on Debian and its derivatives, <libdir>/vozk-render (lib64 or lib) elsewhere. No other program
# searches it, and ldconfig never looks there (so the package runs no maintainer script for it).
if(EXISTS /etc/debian_version AND CMAKE_LIBRARY_ARCHITECTURE)
  set(freeimage_libdir lib/${CMAKE_LIBRARY_ARCHITECTURE}/vozk-render)
else()
  set(freeimage_libdir ${CMAKE_INSTALL_LIBDIR}/vozk-render)
endif()
file(RELATIVE_PATH freeimage_rpath "/${CMAKE_INSTALL_BINDIR}" "/${freeimage_libdir}")
set(CMAKE_INSTALL_RPATH "$ORIGIN/${freeimage_rpath}")
install(FILES "${FreeImage_LIBRARY}" DESTINATION "${freeimage_libdir}")
# The lintian overrides say why the package may carry FreeImage's codecs. They are for the Debian
# package alone, at the one path lintian reads: CPack copies them in beside what install puts in
# place.
configure_file(packaging/lintian-overrides deb-only/usr/share/lintian/overrides/vozk-render
  COPYONLY)
set(CPACK_INSTALLED_DIRECTORIES "${CMAKE_CURRENT_BINARY_DIR}/deb-only;.")
# dpkg-shlibdeps finds it there (it does not follow $ORIGIN), and the package's Depends take what
# it needs.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS "${freeimage_prefix}/lib")

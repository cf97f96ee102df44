# Release set-up: the Windows version resources, and the Debian packages
# built by CPack from the install rules' components. Included at the end of
# the top-level CMakeLists.txt, when every install rule is known.
#
#   cmake -S . -B build-package/linux -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr
#   cmake --build build-package/linux && (cd build-package/linux && cpack -G DEB)
#
# scripts/package.sh does this and the Windows zip.

set(TZF_RELEASE_DATE "Tue, 08 Dec 2026 12:00:00 +0000")
set(TZF_MAINTAINER "tzf-filter developers <tzf-filter@users.noreply.example>")

# --- Windows: a version resource in the DLL and in each program ----------------
if(WIN32)
  enable_language(RC)
  foreach(entry "tzffilter|tzffilter.dll|VFT_DLL|TZF picture import filter"
                "tzfconv|tzfconv.exe|VFT_APP|TZF to PNG and BMP converter"
                "tzfenc|tzfenc.exe|VFT_APP|JPEG, PNG, BMP, GIF, TGA and PNM to TZF converter")
    string(REPLACE "|" ";" fields "${entry}")
    list(GET fields 0 target)
    list(GET fields 1 TZF_RC_FILE)
    list(GET fields 2 TZF_RC_TYPE)
    list(GET fields 3 TZF_RC_DESCRIPTION)
    if(TARGET ${target})
      configure_file(${CMAKE_SOURCE_DIR}/packaging/windows/version.rc.in
                     ${CMAKE_BINARY_DIR}/version/${target}.rc @ONLY)
      target_sources(${target} PRIVATE ${CMAKE_BINARY_DIR}/version/${target}.rc)
    endif()
  endforeach()
  return()
endif()

if(EMSCRIPTEN)
  return()
endif()

# --- Debian packages -------------------------------------------------------
include(GNUInstallDirs)

# component|package|section|architecture|extra Depends|summary|description
# Depends on our own packages are exact: they are built and released together.
set(TZF_DEBIAN_REVISION 1)
set(tzf_same "(= ${PROJECT_VERSION}-${TZF_DEBIAN_REVISION})")
# The image tools load modules from folders named after their release
# series (ImageMagick-6.9.11/, vips-modules-8.14/): those packages depend on
# the series they were built for, with the epoch Debian gives the library.
function(tzf_series_depends out library pc_module)
  set(${out} "${library}" PARENT_SCOPE)
  find_package(PkgConfig QUIET)
  if(NOT PKG_CONFIG_FOUND)
    return()
  endif()
  pkg_check_modules(TZF_SERIES_${pc_module} QUIET ${pc_module})
  if(NOT TZF_SERIES_${pc_module}_VERSION MATCHES "^([0-9]+)\\.([0-9]+)(\\.([0-9]+))?")
    return()
  endif()
  set(major ${CMAKE_MATCH_1})
  set(minor ${CMAKE_MATCH_2})
  set(patch ${CMAKE_MATCH_4})
  if(patch STREQUAL "" OR pc_module STREQUAL "vips")
    set(from "${major}.${minor}")
    math(EXPR next "${minor} + 1")
    set(below "${major}.${next}")
  else()
    set(from "${major}.${minor}.${patch}")
    math(EXPR next "${patch} + 1")
    set(below "${major}.${minor}.${next}")
  endif()
  execute_process(COMMAND dpkg-query -W -f=\${Version} ${library}
                  OUTPUT_VARIABLE installed ERROR_QUIET RESULT_VARIABLE found)
  set(epoch "")
  if(found EQUAL 0 AND installed MATCHES "^([0-9]+):")
    set(epoch "${CMAKE_MATCH_1}:")
  endif()
  set(${out} "${library} (>= ${epoch}${from}), ${library} (<< ${epoch}${below})" PARENT_SCOPE)
endfunction()
tzf_series_depends(tzf_magick_depends libmagickcore-6.q16-6 MagickCore-6.Q16)
tzf_series_depends(tzf_vips_depends libvips42 vips)

# component|package|section|architecture|extra Depends|summary, then the
# description's lines (each under 80 characters) in TZF_DESCRIPTION_<component>.
set(tzf_packages
  "lib|libtzf0|libs|amd64||TZF picture library"
  "dev|libtzf-dev|libdevel|amd64|libtzf0 ${tzf_same}|TZF picture library - development files"
  "tools|tzf-tools|graphics|amd64||TZF picture converters"
  "gdk_pixbuf|tzf-gdk-pixbuf-loader|graphics|amd64|libtzf0 ${tzf_same}, shared-mime-info|TZF picture loader for GdkPixbuf"
  "qt6|qt6-tzf-image-plugin|graphics|amd64|libtzf0 ${tzf_same}|TZF image format plug-in for Qt 6"
  "qt5|qt5-tzf-image-plugin|graphics|amd64|libtzf0 ${tzf_same}|TZF image format plug-in for Qt 5"
  "python|python3-tzf-pillow|python|amd64|python3:any, python3-pil, libtzf0 ${tzf_same}|TZF picture plug-in for Pillow"
  "imagemagick|imagemagick-6-tzf-coder|graphics|amd64|libtzf0 ${tzf_same}, ${tzf_magick_depends}|TZF picture coder module for ImageMagick 6"
  "vips|libvips-tzf|graphics|amd64|libtzf0 ${tzf_same}, ${tzf_vips_depends}|TZF picture loader and saver module for libvips"
  "gimp|gimp-tzf-plugin|graphics|amd64|libtzf0 ${tzf_same}, gimp (>= 2.10), gimp (<< 3)|TZF picture file plug-in for GIMP")
set(tzf_about "TZF pictures are 8-bit palette or 24-bit true-colour pictures whose pixels
are compressed by back-references over a fixed table of two-dimensional
displacements.")
set(TZF_DESCRIPTION_lib "${tzf_about}
.
The shared library libtzf decodes TZF pictures held in memory into a buffer
the caller owns, as RGB, RGBA or the picture's own bytes, and encodes the
caller's pixels into TZF pictures, choosing a palette for 8-bit ones. It
opens no files, allocates nothing and keeps no state, so any number of
threads may use it at once.")
set(TZF_DESCRIPTION_dev "${tzf_about}
.
This package holds what programs that read or write TZF pictures with libtzf
are built with: the C header tzf/tzf.h, the static library, the pkg-config
file tzf.pc and the CMake package tzf (target tzf::tzf).")
set(TZF_DESCRIPTION_tools "${tzf_about}
.
tzfconv converts TZF pictures to PNG or BMP by loading the TZF import filter
library as an image viewer does; tzfenc writes TZF pictures from JPEG, PNG,
BMP, GIF, TGA and PNM pictures.
The filter library, libtzffilter.so, is installed in a folder of its own
where tzfconv finds it.")
set(TZF_DESCRIPTION_gdk_pixbuf "${tzf_about}
.
This package adds a GdkPixbuf loader module for TZF pictures, the
image/x-tzf MIME type and a thumbnailer entry, so that GTK programs show and
save TZF pictures and file managers draw their thumbnails.")
set(TZF_DESCRIPTION_qt6 "${tzf_about}
.
This package adds an image format plug-in with which QImageReader and
QImageWriter, and so every Qt 6 program, read and write TZF pictures.")
set(TZF_DESCRIPTION_qt5 "${tzf_about}
.
This package adds an image format plug-in with which QImageReader and
QImageWriter, and so every Qt 5 program, read and write TZF pictures.")
set(TZF_DESCRIPTION_python "${tzf_about}
.
Importing the module tzf_pillow registers the TZF format with Pillow, so
that PIL.Image.open reads TZF pictures and Image.save writes them. They are
decoded and encoded by libtzf, called through ctypes.")

set(TZF_DESCRIPTION_imagemagick "${tzf_about}
.
This package adds a coder module to ImageMagick 6 (Q16), so that convert,
identify, mogrify and every program built on MagickCore read and write TZF
pictures.")
set(TZF_DESCRIPTION_vips "${tzf_about}
.
This package adds a module to libvips with a loader and a saver for TZF
pictures, so that the vips and vipsthumbnail commands and every program
built on libvips read and write them.")
set(TZF_DESCRIPTION_gimp "${tzf_about}
.
This package adds a file plug-in to GIMP 2.10 that opens TZF pictures, 8-bit
ones as indexed images with their colour table, and exports images as TZF.")

get_cmake_property(tzf_installed_components COMPONENTS)
set(tzf_package_components "")
foreach(entry IN LISTS tzf_packages)
  string(REPLACE "|" ";" fields "${entry}")
  list(GET fields 0 component)
  list(GET fields 1 package)
  list(GET fields 2 section)
  list(GET fields 3 architecture)
  list(GET fields 4 depends)
  list(GET fields 5 summary)
  set(description "${TZF_DESCRIPTION_${component}}")
  if(NOT component IN_LIST tzf_installed_components)
    continue()
  endif()
  list(APPEND tzf_package_components ${component})
  string(TOUPPER ${component} upper)

  set(CPACK_DEBIAN_${upper}_PACKAGE_NAME ${package})
  set(CPACK_DEBIAN_${upper}_PACKAGE_SECTION ${section})
  set(CPACK_DEBIAN_${upper}_PACKAGE_ARCHITECTURE ${architecture})
  set(CPACK_COMPONENT_${upper}_DISPLAY_NAME "${summary}")
  # CPack takes the first line as the summary and the rest as the long text.
  set(CPACK_COMPONENT_${upper}_DESCRIPTION "${summary}\n${description}")
  if(architecture STREQUAL "all" OR component STREQUAL "dev")
    set(CPACK_DEBIAN_${upper}_PACKAGE_SHLIBDEPS OFF)
  else()
    set(CPACK_DEBIAN_${upper}_PACKAGE_SHLIBDEPS ON)
  endif()
  if(depends)
    set(CPACK_DEBIAN_${upper}_PACKAGE_DEPENDS "${depends}")
  endif()

  # Debian wants a copyright file and a changelog in every package's doc folder.
  set(doc ${CMAKE_BINARY_DIR}/debian-doc/${package})
  # The licence text as a field: every line indented, empty lines as " .".
  file(STRINGS ${CMAKE_SOURCE_DIR}/LICENSE licence_lines)
  set(licence_text "")
  foreach(line IN LISTS licence_lines)
    if(line STREQUAL "")
      string(APPEND licence_text " .\n")
    else()
      string(APPEND licence_text " ${line}\n")
    endif()
  endforeach()
  file(WRITE ${doc}/copyright
"Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: tzf-filter
Upstream-Contact: ${TZF_MAINTAINER}

Files: *
Copyright: 2026 the tzf-filter developers
License: Expat
Comment: The MIT licence, as in the LICENSE file of the sources.

License: Expat
${licence_text}")
  file(WRITE ${doc}/changelog.Debian
"${package} (${PROJECT_VERSION}-${TZF_DEBIAN_REVISION}) unstable; urgency=medium

  * Release ${PROJECT_VERSION}.

 -- ${TZF_MAINTAINER}  ${TZF_RELEASE_DATE}
")
  execute_process(COMMAND gzip -9nf ${doc}/changelog.Debian RESULT_VARIABLE gzip_result)
  if(NOT gzip_result EQUAL 0)
    message(FATAL_ERROR "gzip failed on ${doc}/changelog.Debian")
  endif()
  install(FILES ${doc}/copyright ${doc}/changelog.Debian.gz
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${package} COMPONENT ${component})
  # Manual pages, compressed as Debian keeps them.
  if(component STREQUAL "tools")
    foreach(page tzfconv.1 tzfenc.1)
      if(page STREQUAL "tzfenc.1" AND NOT TARGET tzfenc)
        continue()
      endif()
      configure_file(${CMAKE_SOURCE_DIR}/tools/man/${page} ${doc}/${page} @ONLY)
      execute_process(COMMAND gzip -9nf ${doc}/${page})
      install(FILES ${doc}/${page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT tools)
    endforeach()
  endif()
endforeach()

# The Pillow plug-in's modules are byte-compiled when the package is
# installed and their compiled files removed before it is removed (py3compile
# and py3clean, as Debian's Python packages do), so that nothing is left of it,
# whoever imported it. Depends on python3:any bring both in. The package is
# built for one architecture: _tzf_abi.py holds libtzf's record layouts as
# this architecture's compiler lays them out. It has no ELF files to look at.
if("python" IN_LIST tzf_package_components)
  set(CPACK_DEBIAN_PYTHON_PACKAGE_SHLIBDEPS OFF)
  set(CPACK_DEBIAN_PYTHON_PACKAGE_CONTROL_EXTRA
      ${CMAKE_SOURCE_DIR}/python/debian/postinst ${CMAKE_SOURCE_DIR}/python/debian/prerm)
  set(CPACK_DEBIAN_PYTHON_PACKAGE_CONTROL_STRICT_PERMISSION ON)
endif()

if(NOT "lib" IN_LIST tzf_package_components)
  message(STATUS "packaging: no install rules for the codec library yet")
endif()
message(STATUS "packaging: Debian packages for components: ${tzf_package_components}")

# The library's package tells dpkg-shlibdeps what depends on libtzf.so.0 and
# registers the ldconfig trigger. (A global switch: the other packages' shared
# objects are modules without a versioned soname, which it passes over.)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
# The other packages' binaries that link libtzf.so.0 find it in the build
# folder; its package is not installed yet, so their Depends on libtzf0 are
# given explicitly above.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_LIBRARY_OUTPUT_DIRECTORY})
set(CPACK_POST_BUILD_SCRIPTS ${CMAKE_SOURCE_DIR}/cmake/deb-ldconfig-trigger.cmake)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tzf-filter)
set(CPACK_PACKAGE_VENDOR "the tzf-filter developers")
set(CPACK_PACKAGE_CONTACT "${TZF_MAINTAINER}")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_RESOURCE_FILE_LICENSE ${CMAKE_SOURCE_DIR}/LICENSE)
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_STRIP_FILES ON)
set(CPACK_COMPONENTS_ALL ${tzf_package_components})
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_GROUPING IGNORE)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE ${TZF_DEBIAN_REVISION})
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${TZF_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "")
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)
include(CPack)

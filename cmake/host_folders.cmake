# Where an integration installs into its host's folders (gdk-pixbuf's
# loaders, GIMP's plug-ins, libvips' modules, ImageMagick's coders): the
# host's own folder, as its pkg-config file names it, moved under our install
# prefix, and a run path with which the module finds libtzf from there.

# tzf_under_prefix(VAR FOLDER HOST_PREFIX): FOLDER relative to HOST_PREFIX
# when it lies below it (so /usr/lib/x/y with prefix /usr gives lib/x/y, which
# install() puts under our prefix), else FOLDER unchanged.
function(tzf_under_prefix out folder host_prefix)
  set(result "${folder}")
  if(host_prefix)
    string(FIND "${folder}" "${host_prefix}/" at)
    if(at EQUAL 0)
      string(LENGTH "${host_prefix}/" length)
      string(SUBSTRING "${folder}" ${length} -1 result)
    endif()
  endif()
  set(${out} "${result}" PARENT_SCOPE)
endfunction()

# tzf_run_path_to_libdir(TARGET FOLDER): outside /usr, TARGET installed in
# FOLDER (relative to the install prefix) finds libtzf in the prefix's own
# library folder. In /usr, and for absolute folders, the system's search does.
function(tzf_run_path_to_libdir target folder)
  if(NOT CMAKE_INSTALL_PREFIX STREQUAL "/usr" AND NOT IS_ABSOLUTE "${folder}")
    file(RELATIVE_PATH to_libdir "/prefix/${folder}" "/prefix/${CMAKE_INSTALL_LIBDIR}")
    set_target_properties(${target} PROPERTIES INSTALL_RPATH "$ORIGIN/${to_libdir}")
  endif()
endfunction()

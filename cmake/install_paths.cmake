# Run at installation time (install(SCRIPT)), when CMAKE_INSTALL_PREFIX is the prefix that this
# installation uses: the configured one for `cmake --install`, CPack's packaging prefix for a
# package. Installs Snapper's plugin link and the watch unit, both naming the program where this
# installation puts it. Expects snapwright_bindir, snapwright_plugin_dir, snapwright_unit_dir,
# snapwright_unit_template and snapwright_stage_dir from the install(CODE) before it.

# A directory relative to the installation prefix, or absolute as it stands.
function(snapwright_installed_dir out directory)
  if(IS_ABSOLUTE "${directory}")
    set(${out} "${directory}" PARENT_SCOPE)
  else()
    set(${out} "${CMAKE_INSTALL_PREFIX}/${directory}" PARENT_SCOPE)
  endif()
endfunction()

snapwright_installed_dir(binary_dir "${snapwright_bindir}")
snapwright_installed_dir(plugin_dir "${snapwright_plugin_dir}")
snapwright_installed_dir(unit_dir "${snapwright_unit_dir}")
cmake_path(NORMAL_PATH binary_dir)
cmake_path(NORMAL_PATH plugin_dir)
cmake_path(NORMAL_PATH unit_dir)
set(SNAPWRIGHT_INSTALLED_BINARY "${binary_dir}/snapwright")
cmake_path(NORMAL_PATH SNAPWRIGHT_INSTALLED_BINARY)

# Snapper starts every executable in its plugin directory; started under the name 10-snapwright
# the program acts as the plugin. A relative link keeps working inside a DESTDIR or a chroot.
file(RELATIVE_PATH plugin_target "${plugin_dir}" "${SNAPWRIGHT_INSTALLED_BINARY}")
file(REMOVE_RECURSE "${snapwright_stage_dir}")
file(MAKE_DIRECTORY "${snapwright_stage_dir}")
file(CREATE_LINK "${plugin_target}" "${snapwright_stage_dir}/10-snapwright" SYMBOLIC)
file(INSTALL DESTINATION "${plugin_dir}" TYPE FILE FILES "${snapwright_stage_dir}/10-snapwright")

configure_file("${snapwright_unit_template}" "${snapwright_stage_dir}/snapwright-watch.service"
               @ONLY)
file(INSTALL DESTINATION "${unit_dir}" TYPE FILE
     FILES "${snapwright_stage_dir}/snapwright-watch.service")

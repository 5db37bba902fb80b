# Removes what `cmake --install` put in place from one build: the files listed
# in its install manifests (install_manifest.txt, and install_manifest_<name>.txt
# for a component installed on its own), each manifest removed after it.
#   cmake -DMANIFEST_DIR=<build> -P uninstall.cmake
# The manifests hold the paths without DESTDIR; give the same DESTDIR (in the
# environment) as for the install. Folders of our own (named postwren) that
# are left empty go too; shared folders stay.
file(GLOB manifests "${MANIFEST_DIR}/install_manifest*.txt")
if(NOT manifests)
  message(FATAL_ERROR "No install manifest in '${MANIFEST_DIR}': nothing was installed from this build")
endif()
foreach(manifest IN LISTS manifests)
  file(STRINGS "${manifest}" installed)
  foreach(path IN LISTS installed)
    set(file "$ENV{DESTDIR}${path}")
    if(EXISTS "${file}" OR IS_SYMLINK "${file}")
      message(STATUS "Removing ${file}")
      file(REMOVE "${file}")
      if(EXISTS "${file}")
        message(FATAL_ERROR "Could not remove ${file}")
      endif()
      get_filename_component(folder "${file}" DIRECTORY)
      get_filename_component(folderName "${folder}" NAME)
      file(GLOB left "${folder}/*")
      if(folderName STREQUAL "postwren" AND NOT left)
        file(REMOVE_RECURSE "${folder}")
      endif()
    else()
      message(STATUS "Not there: ${file}")
    endif()
  endforeach()
  file(REMOVE "${manifest}")
endforeach()

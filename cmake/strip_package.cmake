# Run by CPack on the staged files before it packs them: removes the sections
# a stripped program does not need (.comment, .note), as Debian's own
# packaging tools do; CPack's strip leaves them.
set(bindir "${CPACK_TEMPORARY_INSTALL_DIRECTORY}${CPACK_PACKAGING_INSTALL_PREFIX}/bin")
file(GLOB programs "${bindir}/*")
if(NOT programs)
  message(FATAL_ERROR "No programs staged in ${bindir}")
endif()
# The modules the programs load go the same way.
set(moduledir "${CPACK_TEMPORARY_INSTALL_DIRECTORY}${CPACK_PACKAGING_INSTALL_PREFIX}/${CPACK_POSTWREN_MODULE_DIR}")
file(GLOB modules "${moduledir}/*.so")
if(NOT modules)
  message(FATAL_ERROR "No modules staged in ${moduledir}")
endif()
list(APPEND programs ${modules})
foreach(program IN LISTS programs)
  execute_process(COMMAND ${CPACK_POSTWREN_STRIP} --remove-section=.comment --remove-section=.note "${program}"
                  RESULT_VARIABLE stripped)
  if(NOT stripped EQUAL 0)
    message(FATAL_ERROR "Could not strip ${program}")
  endif()
endforeach()

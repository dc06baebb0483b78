# Installs the build into PREFIX (emptied first) and checks that the programs and documents a
# user reaches for are there.
file(REMOVE_RECURSE ${PREFIX})
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${PREFIX}
                RESULT_VARIABLE result OUTPUT_QUIET)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "cmake --install failed: ${result}")
endif()
foreach(path bin/pontrel bin/velmora bin/sql.map bin/sql.typ share/doc/velmora/README.md
        share/doc/velmora/pontrel.md share/doc/velmora/wizard.md)
  if(NOT EXISTS ${PREFIX}/${path})
    message(FATAL_ERROR "not installed: ${path}")
  endif()
endforeach()
file(GLOB help_pages ${PREFIX}/bin/help/*.html)
if(NOT help_pages)
  message(FATAL_ERROR "not installed: the help pages")
endif()
file(REMOVE_RECURSE ${PREFIX})

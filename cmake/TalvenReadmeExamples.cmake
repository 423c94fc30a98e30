# talven_readme_examples(<readme> <output-dir> <sources-var>)
#
# The programs that <readme> marks with "<!-- example: NAME -->" before a fenced code block are
# extracted into <output-dir> at build time, whenever <readme> changes, so a build of them is a
# build of exactly what the README shows. <sources-var> receives the full paths of the
# extracted files, to be compiled like any source. The names are read when CMake configures, and
# a change of <readme> configures again, so a new example is picked up by the next build.
function(talven_readme_examples readme output_dir sources_var)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${readme}")
  file(STRINGS "${readme}" markers REGEX "^<!-- example: [A-Za-z0-9_.]+ -->$")
  set(sources "")
  foreach(marker IN LISTS markers)
    string(REGEX REPLACE "^<!-- example: ([A-Za-z0-9_.]+) -->$" "\\1" name "${marker}")
    list(APPEND sources "${output_dir}/${name}")
  endforeach()
  if(NOT sources)
    message(FATAL_ERROR "talven_readme_examples: ${readme} marks no example")
  endif()
  add_custom_command(
    OUTPUT ${sources}
    COMMAND ${CMAKE_COMMAND} -DREADME=${readme} -DOUTPUT_DIR=${output_dir}
            -P ${CMAKE_CURRENT_FUNCTION_LIST_DIR}/ExtractReadmeExamples.cmake
    DEPENDS "${readme}" ${CMAKE_CURRENT_FUNCTION_LIST_DIR}/ExtractReadmeExamples.cmake
    COMMENT "Extracting the example programs of ${readme}"
    VERBATIM)
  set(${sources_var} ${sources} PARENT_SCOPE)
endfunction()

# The message registry: every *.def file under src/ lists the catalogue
# messages its module prints, one line MSG(<signed number>, "<kinds>"). They
# are merged into one table, core/msgregistry.inc, which types the calls of
# core::message<N> (src/core/message.hpp). A number registered twice with
# different kinds stops the build with both files named.

# Writes the merged table of the registry files to out.
function(kalvo_message_registry out root)
  set(numbers "")
  set(conflicts "")
  foreach(def ${ARGN})
    file(RELATIVE_PATH def_rel ${root} ${def})
    file(STRINGS ${def} def_lines REGEX "^MSG")
    foreach(line ${def_lines})
      if(NOT line MATCHES "^MSG\\((-?[0-9]+), *\"([a-z]*)\"\\)")
        message(FATAL_ERROR "${def_rel}: unreadable registry line: ${line}")
      endif()
      set(n ${CMAKE_MATCH_1})
      set(k "${CMAKE_MATCH_2}")
      if(DEFINED kinds_${n})
        if(NOT "${kinds_${n}}" STREQUAL "${k}")
          string(APPEND conflicts
            "static_assert(false, \"message ${n} is registered as \\\"${kinds_${n}}\\\" in "
            "${file_${n}} and as \\\"${k}\\\" in ${def_rel}\");\n")
        endif()
      else()
        set(kinds_${n} "${k}")
        set(file_${n} "${def_rel}")
        list(APPEND numbers ${n})
      endif()
    endforeach()
  endforeach()
  set(table "// Generated from the message registries (*.def under src/); do not edit.\n")
  foreach(n ${numbers})
    string(APPEND table "KALVO_REGISTERED(${n}, \"${kinds_${n}}\")\n")
  endforeach()
  string(APPEND table "${conflicts}")
  file(CONFIGURE OUTPUT ${out} CONTENT "${table}")
endfunction()

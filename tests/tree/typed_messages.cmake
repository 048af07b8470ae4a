# Script test: cmake -DCXX=<compiler> -DSRC=<src> -DGENERATED=<generated dir>
#   -DWORK=<scratch dir> -P typed_messages.cmake
include(${SRC}/../cmake/msgregistry.cmake)
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK})

# Compiles translation units at the same time, one per name, each the text
# of the variable snippet_<name>; sets compiled_<name> to TRUE or FALSE and
# errors to every diagnostic.
function(compile_snippets includes)
  set(flags "")
  foreach(dir ${includes})
    list(APPEND flags -I${dir})
  endforeach()
  set(commands "")
  foreach(name ${ARGN})
    file(WRITE ${WORK}/${name}.cpp "#include \"core/message.hpp\"\n${snippet_${name}}\n")
    list(APPEND commands COMMAND ${CXX} -std=c++20 -fsyntax-only ${flags} ${WORK}/${name}.cpp)
  endforeach()
  execute_process(${commands} RESULTS_VARIABLE rcs ERROR_VARIABLE err OUTPUT_QUIET)
  foreach(name ${ARGN})
    list(POP_FRONT rcs rc)
    if(rc EQUAL 0)
      set(compiled_${name} TRUE PARENT_SCOPE)
    else()
      set(compiled_${name} FALSE PARENT_SCOPE)
    endif()
  endforeach()
  set(errors "${err}" PARENT_SCOPE)
endfunction()

set(failures "")

# The real registry: right calls compile (otherwise every "does not compile"
# below would prove nothing).
set(snippet_right [=[
#include <string>
void f(FILE* s) {
  char name[8] = "x";
  const char* text = "y";
  std::string str = "z";
  core::message<57>(name);
  core::message<57>(text);
  core::message<57>(str);
  core::message_to<57>(s, "literal");
  core::message<20>('c', 2.5f);
  core::message<-143>(1L, text, static_cast<unsigned char>(2));
  std::string t = core::message_text<1>();
}
[[noreturn]] void g() { core::fatal<-2>("dir"); }
]=])
set(names right)

foreach(wrong
    "core::message<57>(3)"
    "core::message<57>()"
    "core::message<57>(\"a\", \"b\")"
    "core::message<20>('c', 2)"
    "core::message<20>(1.5, 2.5)"
    "core::message<-143>(true, \"p\", 1)"
    "core::message<-143>(1, 'p', 1)"
    "core::message<-999999>()"
    "core::fatal<57>(\"dir\")")
  string(MAKE_C_IDENTIFIER "${wrong}" id)
  set(snippet_${id} "void f() { ${wrong}; }")
  set(wrong_${id} "${wrong}")
  list(APPEND names ${id})
endforeach()
compile_snippets("${SRC};${GENERATED}" ${names})
if(NOT compiled_right)
  string(APPEND failures "right calls did not compile:\n${errors}\n")
endif()
list(REMOVE_ITEM names right)
foreach(id ${names})
  if(compiled_${id})
    string(APPEND failures "compiled, but must not: ${wrong_${id}}\n")
  endif()
endforeach()

# A planted registry that gives message 57 two different kinds.
file(WRITE ${WORK}/planted/src/a/a.def "MSG(57, \"s\")\nMSG(-2, \"s\")\n")
file(WRITE ${WORK}/planted/src/b/b.def "MSG(57, \"d\")\nMSG(-2, \"s\")\n")
kalvo_message_registry(${WORK}/planted/generated/core/msgregistry.inc ${WORK}/planted
  ${WORK}/planted/src/a/a.def ${WORK}/planted/src/b/b.def)
set(snippet_conflict "void f() { core::message<-2>(\"x\"); }")
compile_snippets("${SRC};${WORK}/planted/generated" conflict)
if(compiled_conflict)
  string(APPEND failures "a number registered with two kinds did not stop the build\n")
elseif(NOT errors MATCHES "message 57 is registered as")
  string(APPEND failures "the conflict was not named:\n${errors}\n")
endif()

if(failures)
  message(FATAL_ERROR "${failures}")
endif()

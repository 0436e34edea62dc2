# Files a program carries inside itself, such as a web page: at build time
# each file's bytes become a std::string_view in a generated source of the
# build tree, so that the program reads no file at run time and the files
# stay real files in the source tree.
#
#   zalvo_embed_files(TARGET HEADER NAMESPACE NAME FILE [NAME FILE]...)
#
# adds to TARGET a source that includes HEADER (which declares
# `extern const std::string_view NAME;` in NAMESPACE) and defines each NAME
# with the bytes of FILE (relative to the calling folder), exactly as they are.
# The source is made again whenever a file changes.
#
# Run as a script (cmake -P) it writes that source: -D OUTPUT, HEADER,
# NAMESPACE, and ENTRIES as NAME=FILE items separated by '|'.

if(CMAKE_SCRIPT_MODE_FILE)
  string(REPLACE "|" ";" entries "${ENTRIES}")
  set(source "// Generated at build time from the files named below; do not edit.\n")
  string(APPEND source "#include \"${HEADER}\"\n\nnamespace ${NAMESPACE} {\n")
  foreach(entry IN LISTS entries)
    string(FIND "${entry}" "=" equals)
    string(SUBSTRING "${entry}" 0 ${equals} name)
    math(EXPR after "${equals} + 1")
    string(SUBSTRING "${entry}" ${after} -1 file)
    file(READ "${file}" hex HEX)
    string(LENGTH "${hex}" digits)
    math(EXPR size "${digits} / 2")
    # 16 bytes to a line, each byte as a hex escape: a text of escapes only
    # never runs one escape into the next character.
    string(REGEX REPLACE "(................................)" "\\1\n" hex "${hex}")
    string(REGEX REPLACE "([0-9a-f][0-9a-f])" "\\\\x\\1" hex "${hex}")
    string(REGEX REPLACE "\n$" "" hex "${hex}")
    string(REPLACE "\n" "\"\n    \"" hex "${hex}")
    string(APPEND source "\n// ${file}\nconst std::string_view ${name}{\n    \"${hex}\",\n    ${size}};\n")
  endforeach()
  string(APPEND source "\n}  // namespace ${NAMESPACE}\n")
  file(WRITE "${OUTPUT}" "${source}")
  return()
endif()

set(ZALVO_EMBED_SCRIPT ${CMAKE_CURRENT_LIST_FILE})

function(zalvo_embed_files target header namespace)
  set(entries)
  set(files)
  set(pairs ${ARGN})
  while(pairs)
    list(POP_FRONT pairs name file)
    cmake_path(ABSOLUTE_PATH file BASE_DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR})
    list(APPEND entries "${name}=${file}")
    list(APPEND files ${file})
  endwhile()
  list(JOIN entries "|" entries)
  set(output ${CMAKE_CURRENT_BINARY_DIR}/${target}_embedded.cpp)
  add_custom_command(
    OUTPUT ${output}
    COMMAND ${CMAKE_COMMAND} -DOUTPUT=${output} -DHEADER=${header} -DNAMESPACE=${namespace}
            -DENTRIES=${entries} -P ${ZALVO_EMBED_SCRIPT}
    DEPENDS ${files} ${ZALVO_EMBED_SCRIPT}
    COMMENT "Embedding the files of ${target}"
    VERBATIM)
  target_sources(${target} PRIVATE ${output})
endfunction()

# Linker launcher: runs the link command given after "--", then finishes the
# linked executable in place:
#   1. with QEB_OBJCOPY, its debug information moves to <exe>.debug, which the
#      image names by a .gnu_debuglink section (debuggers find it there);
#   2. with QEB_OSSLSIGNCODE, it is signed and timestamped, by the server at
#      QEB_TIMESTAMP_URL or else by osslsigncode as the authority of
#      QEB_TSA_CERT/QEB_TSA_KEY.
#   cmake [-DQEB_OBJCOPY=...] [-DQEB_OSSLSIGNCODE=... -DQEB_SIGN_CERT=...
#         -DQEB_SIGN_KEY=... -DQEB_SIGN_NAME=... -DQEB_TIMESTAMP_URL=...
#         -DQEB_TSA_CERT=... -DQEB_TSA_KEY=...] -P finish_link.cmake -- <linker> <args...>
# The image that ships carries no DWARF and no symbol table: Windows never
# pages debug sections in, but a loader that cannot map sections straight from
# the file (Wine, with the linker's 512-byte file alignment) reads all of them
# into private memory.
# Doing both inside the link step means that every re-link redoes them, that
# the build never sees an unfinished image as up to date, and that neither is
# a separate output the build tool could consider out of date.

set(cmd)
set(out_file)
set(take_next_as_out FALSE)
set(seen_separator FALSE)
math(EXPR last "${CMAKE_ARGC} - 1")
foreach(i RANGE ${last})
  set(arg "${CMAKE_ARGV${i}}")
  if(NOT seen_separator)
    if(arg STREQUAL "--")
      set(seen_separator TRUE)
    endif()
    continue()
  endif()
  if(take_next_as_out)
    set(out_file "${arg}")
    set(take_next_as_out FALSE)
  elseif(arg STREQUAL "-o")
    set(take_next_as_out TRUE)
  elseif(arg MATCHES "^[/-][Oo][Uu][Tt]:(.+)$")
    # MSVC's link.exe
    set(out_file "${CMAKE_MATCH_1}")
  endif()
  # A ';' inside one argument must not split it into two.
  string(REPLACE ";" "\\;" arg "${arg}")
  list(APPEND cmd "${arg}")
endforeach()

if(NOT cmd)
  message(FATAL_ERROR "finish_link: no link command after --")
endif()

execute_process(COMMAND ${cmd} RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  # The linker has printed its own diagnostics.
  message(FATAL_ERROR "link command failed: ${rc}")
endif()

if(NOT out_file)
  message(FATAL_ERROR "finish_link: the link command names no output file")
endif()

if(QEB_OBJCOPY)
  get_filename_component(out_dir "${out_file}" DIRECTORY)
  get_filename_component(out_name "${out_file}" NAME)
  # Run beside the image, so that the link section names the bare file name.
  execute_process(
    COMMAND "${QEB_OBJCOPY}" --only-keep-debug "${out_name}" "${out_name}.debug"
    COMMAND_ERROR_IS_FATAL ANY WORKING_DIRECTORY "${out_dir}")
  execute_process(
    COMMAND "${QEB_OBJCOPY}" --strip-all "--add-gnu-debuglink=${out_name}.debug" "${out_name}"
    COMMAND_ERROR_IS_FATAL ANY WORKING_DIRECTORY "${out_dir}")
endif()

if(NOT QEB_OSSLSIGNCODE)
  return()
endif()
if(QEB_TIMESTAMP_URL)
  set(stamp -ts "${QEB_TIMESTAMP_URL}")
elseif(QEB_TSA_CERT)
  set(stamp -TSA-certs "${QEB_TSA_CERT}" -TSA-key "${QEB_TSA_KEY}")
else()
  message(FATAL_ERROR "finish_link: no timestamping authority for ${out_file}")
endif()
set(tmp_file "${out_file}.signing")
file(REMOVE "${tmp_file}")
execute_process(
  COMMAND "${QEB_OSSLSIGNCODE}" sign
          -certs "${QEB_SIGN_CERT}" -key "${QEB_SIGN_KEY}"
          -h sha256 -n "${QEB_SIGN_NAME}" ${stamp}
          -in "${out_file}" -out "${tmp_file}"
  RESULT_VARIABLE rc OUTPUT_VARIABLE sign_out ERROR_VARIABLE sign_out)
if(NOT rc EQUAL 0)
  # Leaving the unsigned image would let the build call it up to date.
  file(REMOVE "${tmp_file}" "${out_file}")
  message(FATAL_ERROR "signing ${out_file} failed (${rc}):\n${sign_out}")
endif()
file(RENAME "${tmp_file}" "${out_file}")

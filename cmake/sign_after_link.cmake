# Linker launcher: runs the link command given after "--", then signs the
# linked executable in place with osslsigncode.
#   cmake -DQEB_OSSLSIGNCODE=... -DQEB_SIGN_CERT=... -DQEB_SIGN_KEY=...
#         -DQEB_SIGN_NAME=... -P sign_after_link.cmake -- <linker> <args...>
# Signing inside the link step means that every re-link re-signs, that the
# build never sees an unsigned image as up to date, and that the signature is
# not a separate output the build tool could consider out of date.

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
  message(FATAL_ERROR "sign_after_link: no link command after --")
endif()

execute_process(COMMAND ${cmd} RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  # The linker has printed its own diagnostics.
  message(FATAL_ERROR "link command failed: ${rc}")
endif()

if(NOT out_file)
  message(FATAL_ERROR "sign_after_link: the link command names no output file")
endif()

set(tmp_file "${out_file}.signing")
file(REMOVE "${tmp_file}")
execute_process(
  COMMAND "${QEB_OSSLSIGNCODE}" sign
          -certs "${QEB_SIGN_CERT}" -key "${QEB_SIGN_KEY}"
          -h sha256 -n "${QEB_SIGN_NAME}"
          -in "${out_file}" -out "${tmp_file}"
  RESULT_VARIABLE rc OUTPUT_VARIABLE sign_out ERROR_VARIABLE sign_out)
if(NOT rc EQUAL 0)
  # Leaving the unsigned image would let the build call it up to date.
  file(REMOVE "${tmp_file}" "${out_file}")
  message(FATAL_ERROR "signing ${out_file} failed (${rc}):\n${sign_out}")
endif()
file(RENAME "${tmp_file}" "${out_file}")

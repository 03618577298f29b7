# cmake -DIN=<signed exe> -DOUT=<exe> -DMIB=<n> -DOBJCOPY=... -DOBJDUMP=... -DOSSLSIGNCODE=...
#       -DCERT=<pem> -DKEY=<pem> [-DTSA_CERT=<pem> -DTSA_KEY=<pem>] -P make_padded.cmake
# Makes OUT: IN without its signature, grown to about MIB MiB by an extra
# data section, signed again with CERT/KEY and, as the build signs, stamped by
# the local timestamping authority TSA_CERT/TSA_KEY.
get_filename_component(work "${OUT}" DIRECTORY)
set(unsigned "${OUT}.unsigned")
set(padded "${OUT}.padded")
set(pad "${OUT}.pad")

execute_process(COMMAND "${OSSLSIGNCODE}" remove-signature -in "${IN}" -out "${unsigned}"
                RESULT_VARIABLE rc OUTPUT_QUIET ERROR_QUIET)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "osslsigncode remove-signature failed on ${IN}")
endif()
# Symbols and debug sections off first, so the 1 MiB copy can be about 1 MiB.
execute_process(COMMAND "${OBJCOPY}" --strip-all "${unsigned}" RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "objcopy --strip-all failed on ${unsigned}")
endif()
file(SIZE "${unsigned}" base)
# The new section goes after the last one, on a page boundary.
execute_process(COMMAND "${OBJDUMP}" -h "${unsigned}" OUTPUT_VARIABLE sections RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "objdump -h failed on ${unsigned}")
endif()
string(REGEX MATCHALL "[ ]+[0-9]+ [.][^ ]+ +[0-9a-f]+  [0-9a-f]+" rows "${sections}")
set(end 0)
foreach(row IN LISTS rows)
  string(REGEX MATCH "[.][^ ]+ +([0-9a-f]+)  ([0-9a-f]+)" _ "${row}")
  math(EXPR rowEnd "0x${CMAKE_MATCH_2} + 0x${CMAKE_MATCH_1}")
  if(rowEnd GREATER end)
    set(end ${rowEnd})
  endif()
endforeach()
math(EXPR address "(${end} + 0xFFFF) / 0x10000 * 0x10000" OUTPUT_FORMAT HEXADECIMAL)
math(EXPR padBytes "${MIB} * 1048576 - ${base}")
if(padBytes LESS 4096)
  set(padBytes 4096)
endif()
# Not zeros: a sparse or compressible pad would flatter the read.
string(RANDOM LENGTH 4096 block)
file(WRITE "${pad}" "")
math(EXPR blocks "${padBytes} / 4096")
set(chunk "")
foreach(i RANGE 1 256)
  string(APPEND chunk "${block}")
endforeach()
math(EXPR chunks "${blocks} / 256")
math(EXPR rest "${blocks} % 256")
if(chunks GREATER 0)
  foreach(i RANGE 1 ${chunks})
    file(APPEND "${pad}" "${chunk}")
  endforeach()
endif()
if(rest GREATER 0)
  foreach(i RANGE 1 ${rest})
    file(APPEND "${pad}" "${block}")
  endforeach()
endif()

execute_process(COMMAND "${OBJCOPY}" --add-section ".qebpad=${pad}" --set-section-flags ".qebpad=contents,readonly,data" --change-section-address ".qebpad=${address}"
                        "${unsigned}" "${padded}"
                RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "objcopy failed on ${unsigned}")
endif()
file(REMOVE "${OUT}")
set(stamp)
if(TSA_CERT)
  set(stamp -TSA-certs "${TSA_CERT}" -TSA-key "${TSA_KEY}")
endif()
execute_process(COMMAND "${OSSLSIGNCODE}" sign -certs "${CERT}" -key "${KEY}" -h sha256 -n QEBCoreContainer ${stamp}
                        -in "${padded}" -out "${OUT}"
                RESULT_VARIABLE rc OUTPUT_QUIET)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "osslsigncode sign failed on ${padded}")
endif()
file(REMOVE "${unsigned}" "${padded}" "${pad}")

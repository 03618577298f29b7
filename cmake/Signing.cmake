# Code-signing identity of this build, and the finishing of its executables
# after each link (debug information split off, then the signature).
#
# A release build names its identity at configure time, without code changes:
#   QEB_SIGNING_ROOT_CERT  DER file of the root the security component pins
#   QEB_PUBLISHER_NAME     the CN or O a trusted signer must carry
#   QEB_SIGNING_CERT       PEM leaf certificate (followed by any intermediates)
#   QEB_SIGNING_KEY        PEM private key of that leaf
#   QEB_TIMESTAMP_ISSUER_CERT  DER file of the CA certificate that issued the
#                          timestamping authority's certificate (not a root:
#                          the service trusts the authorities this one CA
#                          issues, not every one a public root admits)
#   QEB_TIMESTAMP_URL      RFC 3161 server that stamps the signatures, or
#   QEB_TIMESTAMP_TSA_CERT, QEB_TIMESTAMP_TSA_KEY  a local authority's PEM
#                          certificate and key (osslsigncode stamps itself)
# The root and the publisher go together; the leaf and key may be left out
# when the executables are signed by a later, separate step. A release build
# names its authority's issuer, and one that signs also its authority: a
# signature without a timestamp is refused from the day its certificate
# expires, on every machine at once.
# With none of them, a development identity is made once per build tree in
# <build>/signing and used for both pinning and signing.
#
# What the rest of the build gets:
#   QEB_PINNED_ROOT_DER   DER file embedded into the security component
#   QEB_PUBLISHER         publisher name embedded into it
#   QEB_DEV_IDENTITY      1 for the development identity, else 0
#   QEB_SIGNING_ENABLED   whether executables are signed after linking
#   QEB_DEV_ROOT_PEM/KEY  development root, so tests can issue certificates
#   QEB_TIMESTAMP_ISSUER_DER  DER file of the authority's issuer, or empty
#   QEB_TIMESTAMP_OPTIONS osslsigncode options that stamp a signature
#   qeb_build_identity    INTERFACE target: header qeb_build_identity.h with
#                         the publisher text, and QEB_DEV_IDENTITY=1 when the
#                         identity is the development one

set(QEB_SIGNING_ROOT_CERT "" CACHE FILEPATH "DER certificate of the pinned code-signing root (empty: development identity)")
set(QEB_PUBLISHER_NAME "" CACHE STRING "Publisher name (subject CN or O) a trusted signer must carry")
set(QEB_SIGNING_CERT "" CACHE FILEPATH "PEM code-signing certificate used to sign the executables")
set(QEB_SIGNING_KEY "" CACHE FILEPATH "PEM private key of QEB_SIGNING_CERT")
set(QEB_TIMESTAMP_ISSUER_CERT "" CACHE FILEPATH "DER certificate of the CA that issued the timestamping authority")
set(QEB_TIMESTAMP_URL "" CACHE STRING "RFC 3161 timestamping server for the signatures")
set(QEB_TIMESTAMP_TSA_CERT "" CACHE FILEPATH "PEM certificate of a local timestamping authority")
set(QEB_TIMESTAMP_TSA_KEY "" CACHE FILEPATH "PEM private key of QEB_TIMESTAMP_TSA_CERT")

set(QEB_DEV_PUBLISHER_NAME "Velant Development (NOT FOR RELEASE)")
set(QEB_DEV_ROOT_SUBJECT "/CN=QEBCore Development Root (NOT FOR RELEASE)/O=${QEB_DEV_PUBLISHER_NAME}")

set(_QEB_SIGNING_MODULE_DIR "${CMAKE_CURRENT_LIST_DIR}")
find_program(QEB_OPENSSL openssl)
find_program(QEB_OSSLSIGNCODE osslsigncode)
include(${CMAKE_CURRENT_LIST_DIR}/../tools/signing/openssl_identity.cmake)

# Makes (or reuses) the development root and code-signing leaf in <dir>.
# A leaf due to expire within 30 days is replaced together with its root.
# The root is dated from 2019, as a real root predates what it certifies, so
# that test certificates dated in the past (an expired signer, a
# timestamping authority) chain to it at the time they stamp; a root made
# before that rule is replaced.
function(_qeb_dev_identity dir)
  set(root_key "${dir}/dev-root.key")
  set(root_pem "${dir}/dev-root.pem")
  set(root_der "${dir}/dev-root.der")
  set(leaf_key "${dir}/dev-leaf.key")
  set(leaf_pem "${dir}/dev-leaf.pem")
  set(tsa_key "${dir}/dev-tsa.key")
  set(tsa_pem "${dir}/dev-tsa.pem")

  set(reuse FALSE)
  if(EXISTS "${root_key}" AND EXISTS "${root_pem}" AND EXISTS "${root_der}"
     AND EXISTS "${leaf_key}" AND EXISTS "${leaf_pem}" AND EXISTS "${tsa_key}" AND EXISTS "${tsa_pem}")
    qeb_openssl_valid_for("${leaf_pem}" 2592000 reuse)
    if(reuse)
      qeb_openssl_starts_before("${root_pem}" 2020 reuse)
    endif()
  endif()
  if(NOT reuse)
    if(NOT QEB_OPENSSL)
      message(FATAL_ERROR "openssl is needed to make the development signing identity")
    endif()
    file(MAKE_DIRECTORY "${dir}")
    qeb_openssl_new_key("${root_key}")
    string(TIMESTAMP root_end_year "%Y" UTC)
    math(EXPR root_end_year "${root_end_year} + 20")
    qeb_openssl_self_signed_dated("${root_key}" "${root_pem}" "${QEB_DEV_ROOT_SUBJECT}" 20190101000000Z
                                  ${root_end_year}0101000000Z root_ext)
    qeb_openssl_to_der("${root_pem}" "${root_der}")
    qeb_openssl_new_key("${leaf_key}")
    qeb_openssl_issue("${leaf_key}" "${leaf_pem}"
                      "/CN=${QEB_DEV_PUBLISHER_NAME}/O=${QEB_DEV_PUBLISHER_NAME}" 3650
                      code_signing_ext "${root_pem}" "${root_key}")
    # The development timestamping authority, which osslsigncode runs itself.
    qeb_openssl_new_key("${tsa_key}")
    qeb_openssl_issue("${tsa_key}" "${tsa_pem}" "/CN=QEBCore Development Timestamping (NOT FOR RELEASE)" 3650
                      timestamping_ext "${root_pem}" "${root_key}")
    message(STATUS "Made a development signing identity in ${dir}")
  endif()

  set(QEB_DEV_ROOT_KEY "${root_key}" PARENT_SCOPE)
  set(QEB_DEV_ROOT_PEM "${root_pem}" PARENT_SCOPE)
  set(QEB_DEV_ROOT_DER "${root_der}" PARENT_SCOPE)
  set(QEB_DEV_LEAF_KEY "${leaf_key}" PARENT_SCOPE)
  set(QEB_DEV_LEAF_PEM "${leaf_pem}" PARENT_SCOPE)
  set(QEB_DEV_TSA_KEY "${tsa_key}" PARENT_SCOPE)
  set(QEB_DEV_TSA_PEM "${tsa_pem}" PARENT_SCOPE)
endfunction()

if(QEB_SIGNING_ROOT_CERT OR QEB_PUBLISHER_NAME OR QEB_SIGNING_CERT OR QEB_SIGNING_KEY)
  if(NOT QEB_SIGNING_ROOT_CERT OR NOT QEB_PUBLISHER_NAME)
    message(FATAL_ERROR "QEB_SIGNING_ROOT_CERT and QEB_PUBLISHER_NAME must be given together")
  endif()
  if(NOT EXISTS "${QEB_SIGNING_ROOT_CERT}")
    message(FATAL_ERROR "QEB_SIGNING_ROOT_CERT: no such file: ${QEB_SIGNING_ROOT_CERT}")
  endif()
  if((QEB_SIGNING_CERT AND NOT QEB_SIGNING_KEY) OR (QEB_SIGNING_KEY AND NOT QEB_SIGNING_CERT))
    message(FATAL_ERROR "QEB_SIGNING_CERT and QEB_SIGNING_KEY must be given together")
  endif()
  if(NOT QEB_TIMESTAMP_ISSUER_CERT OR NOT EXISTS "${QEB_TIMESTAMP_ISSUER_CERT}")
    message(FATAL_ERROR
      "A release identity needs QEB_TIMESTAMP_ISSUER_CERT (DER, an existing file): the service trusts a timestamp "
      "only from an authority that this CA issued, and without a trusted timestamp every signature is refused "
      "from the day its certificate expires, on every machine at once.")
  endif()
  # A root would admit every authority that any CA under it ever certified.
  execute_process(COMMAND "${QEB_OPENSSL}" x509 -inform DER -in "${QEB_TIMESTAMP_ISSUER_CERT}" -noout
                          -subject -issuer -nameopt RFC2253
                  OUTPUT_VARIABLE _qeb_ts_names RESULT_VARIABLE _qeb_rc)
  string(REGEX MATCH "subject=([^\n]*)\nissuer=([^\n]*)" _qeb_ts_match "${_qeb_ts_names}")
  if(NOT _qeb_rc EQUAL 0 OR NOT _qeb_ts_match OR CMAKE_MATCH_1 STREQUAL CMAKE_MATCH_2)
    message(FATAL_ERROR
      "QEB_TIMESTAMP_ISSUER_CERT must be the CA certificate that issued the timestamping authority, not a "
      "self-signed root: ${QEB_TIMESTAMP_ISSUER_CERT}")
  endif()
  set(QEB_DEV_IDENTITY 0)
  set(QEB_TIMESTAMP_ISSUER_DER "${QEB_TIMESTAMP_ISSUER_CERT}")
  set(_qeb_tsa_cert "${QEB_TIMESTAMP_TSA_CERT}")
  set(_qeb_tsa_key "${QEB_TIMESTAMP_TSA_KEY}")
  set(QEB_PINNED_ROOT_DER "${QEB_SIGNING_ROOT_CERT}")
  set(QEB_PUBLISHER "${QEB_PUBLISHER_NAME}")
  set(_qeb_sign_cert "${QEB_SIGNING_CERT}")
  set(_qeb_sign_key "${QEB_SIGNING_KEY}")
  unset(QEB_DEV_ROOT_KEY)
  unset(QEB_DEV_ROOT_PEM)
else()
  _qeb_dev_identity("${CMAKE_BINARY_DIR}/signing")
  set(QEB_DEV_IDENTITY 1)
  # Its timestamping authority is issued by the pinned development root.
  set(QEB_TIMESTAMP_ISSUER_DER "")
  set(_qeb_tsa_cert "${QEB_DEV_TSA_PEM}")
  set(_qeb_tsa_key "${QEB_DEV_TSA_KEY}")
  if(QEB_TIMESTAMP_TSA_CERT OR QEB_TIMESTAMP_URL)
    set(_qeb_tsa_cert "${QEB_TIMESTAMP_TSA_CERT}")
    set(_qeb_tsa_key "${QEB_TIMESTAMP_TSA_KEY}")
  endif()
  set(QEB_PINNED_ROOT_DER "${QEB_DEV_ROOT_DER}")
  set(QEB_PUBLISHER "${QEB_DEV_PUBLISHER_NAME}")
  set(_qeb_sign_cert "${QEB_DEV_LEAF_PEM}")
  set(_qeb_sign_key "${QEB_DEV_LEAF_KEY}")
  message(WARNING
    "This build uses a DEVELOPMENT signing identity (${CMAKE_BINARY_DIR}/signing): "
    "its executables are signed by \"${QEB_DEV_PUBLISHER_NAME}\" and the security "
    "component trusts only the development root. NOT FOR RELEASE. A release build sets "
    "QEB_SIGNING_ROOT_CERT, QEB_PUBLISHER_NAME, QEB_SIGNING_CERT and QEB_SIGNING_KEY, "
    "and QEB_TIMESTAMP_ISSUER_CERT with QEB_TIMESTAMP_URL (or a local authority).")
endif()

# The timestamping authority: a server, or a local one osslsigncode runs.
if((QEB_TIMESTAMP_TSA_CERT AND NOT QEB_TIMESTAMP_TSA_KEY) OR (QEB_TIMESTAMP_TSA_KEY AND NOT QEB_TIMESTAMP_TSA_CERT))
  message(FATAL_ERROR "QEB_TIMESTAMP_TSA_CERT and QEB_TIMESTAMP_TSA_KEY must be given together")
endif()
set(QEB_TIMESTAMP_OPTIONS)
if(QEB_TIMESTAMP_URL)
  set(QEB_TIMESTAMP_OPTIONS -ts "${QEB_TIMESTAMP_URL}")
elseif(_qeb_tsa_cert)
  set(QEB_TIMESTAMP_OPTIONS -TSA-certs "${_qeb_tsa_cert}" -TSA-key "${_qeb_tsa_key}")
elseif(_qeb_sign_cert)
  message(FATAL_ERROR
    "QEB_SIGNING_CERT is given without a timestamping authority: set QEB_TIMESTAMP_URL (an RFC 3161 server) or "
    "QEB_TIMESTAMP_TSA_CERT and QEB_TIMESTAMP_TSA_KEY. A signature without a timestamp is refused from the day "
    "its certificate expires: every installed service would then refuse its container at once.")
endif()

set(QEB_SIGNING_ENABLED FALSE)
if(_qeb_sign_cert)
  if(QEB_OSSLSIGNCODE)
    set(QEB_SIGNING_ENABLED TRUE)
  else()
    message(WARNING "osslsigncode not found: executables stay unsigned, and the "
                    "container launch will refuse an unsigned container")
  endif()
else()
  message(STATUS "No signing certificate given: executables are left for a later signing step")
endif()

# The identity as text for resource scripts and sources that want to show it.
string(REPLACE "\\" "\\\\" _qeb_publisher_text "${QEB_PUBLISHER}")
string(REPLACE "\"" "\\\"" _qeb_publisher_text "${_qeb_publisher_text}")
file(CONFIGURE OUTPUT "${CMAKE_BINARY_DIR}/generated/qeb_build_identity.h" CONTENT
"#pragma once
// Generated at configure time from the build's signing identity.
#define QEB_PUBLISHER_NAME_TEXT \"${_qeb_publisher_text}\"
" @ONLY)
add_library(qeb_build_identity INTERFACE)
target_include_directories(qeb_build_identity INTERFACE "${CMAKE_BINARY_DIR}/generated")
if(QEB_DEV_IDENTITY)
  target_compile_definitions(qeb_build_identity INTERFACE QEB_DEV_IDENTITY=1)
endif()

# Collects the executable and DLL targets defined in <dir> and below.
function(_qeb_collect_executables dir out_var)
  set(found)
  get_property(targets DIRECTORY "${dir}" PROPERTY BUILDSYSTEM_TARGETS)
  foreach(t IN LISTS targets)
    get_target_property(type ${t} TYPE)
    if(type STREQUAL "EXECUTABLE" OR type STREQUAL "SHARED_LIBRARY")
      list(APPEND found ${t})
    endif()
  endforeach()
  get_property(subdirs DIRECTORY "${dir}" PROPERTY SUBDIRECTORIES)
  foreach(sub IN LISTS subdirs)
    _qeb_collect_executables("${sub}" sub_found)
    list(APPEND found ${sub_found})
  endforeach()
  set(${out_var} ${found} PARENT_SCOPE)
endfunction()

# qeb_finish_all_executables(<dir>): every executable target defined in <dir>
# and below is finished as the last part of its own link step: its debug
# information moves to a file beside it (GNU toolchains; MSVC already keeps it
# in a PDB), and it is signed. A target with the property QEB_SKIP_SIGNING set
# is left as linked (test inputs); one with QEB_KEEP_DEBUG_INFO is only signed.
# This runs as a linker launcher because a POST_BUILD command can only be
# added in the directory that defined the target.
function(qeb_finish_all_executables dir)
  set(objcopy)
  if(CMAKE_OBJCOPY AND NOT MSVC)
    set(objcopy "${CMAKE_OBJCOPY}")
  endif()
  set(signcode)
  if(QEB_SIGNING_ENABLED)
    set(signcode "${QEB_OSSLSIGNCODE}")
  endif()
  if(NOT objcopy AND NOT signcode)
    return()
  endif()
  if(NOT CMAKE_GENERATOR MATCHES "Ninja|Makefiles")
    message(WARNING "Executables are finished (signed, debug information split off) only with the Ninja and Makefile generators")
    return()
  endif()
  _qeb_collect_executables("${dir}" targets)
  foreach(t IN LISTS targets)
    get_target_property(skip ${t} QEB_SKIP_SIGNING)
    if(skip)
      continue()
    endif()
    get_target_property(keep_debug ${t} QEB_KEEP_DEBUG_INFO)
    set(target_objcopy "${objcopy}")
    if(keep_debug)
      set(target_objcopy)
    endif()
    if(NOT target_objcopy AND NOT signcode)
      continue()
    endif()
    get_target_property(name ${t} OUTPUT_NAME)
    if(NOT name)
      set(name ${t})
    endif()
    foreach(lang C CXX)
      get_target_property(existing ${t} ${lang}_LINKER_LAUNCHER)
      if(NOT existing)
        set(existing)
      endif()
      set_property(TARGET ${t} PROPERTY ${lang}_LINKER_LAUNCHER
        "${CMAKE_COMMAND}"
        "-DQEB_OBJCOPY=${target_objcopy}"
        "-DQEB_OSSLSIGNCODE=${signcode}"
        "-DQEB_SIGN_CERT=${_qeb_sign_cert}"
        "-DQEB_SIGN_KEY=${_qeb_sign_key}"
        "-DQEB_SIGN_NAME=${name}"
        "-DQEB_TIMESTAMP_URL=${QEB_TIMESTAMP_URL}"
        "-DQEB_TSA_CERT=${_qeb_tsa_cert}"
        "-DQEB_TSA_KEY=${_qeb_tsa_key}"
        -P "${_QEB_SIGNING_MODULE_DIR}/finish_link.cmake" --
        ${existing})
    endforeach()
    # A changed finishing script or a new certificate re-links.
    set_property(TARGET ${t} APPEND PROPERTY LINK_DEPENDS "${_QEB_SIGNING_MODULE_DIR}/finish_link.cmake")
    if(signcode)
      set_property(TARGET ${t} APPEND PROPERTY LINK_DEPENDS "${_qeb_sign_cert}")
    endif()
  endforeach()
endfunction()

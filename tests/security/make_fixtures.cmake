# Makes the signature-check test images from the unsigned sample program:
# one copy per signing situation, all in OUT_DIR. Run at build time:
#   cmake -DQEB_OPENSSL=... -DQEB_OSSLSIGNCODE=... -DIDENTITY_HELPERS=...
#         -DCNF=fixtures.cnf -DROOT_PEM=... -DROOT_KEY=... -DROOT_SUBJECT=...
#         -DSIGN_CERT=... -DSIGN_KEY=... -DPUBLISHER=... -DPAYLOAD=...
#         -DCONTAINER=... -DWORK_DIR=... -DOUT_DIR=... -P make_fixtures.cmake
# ROOT_* is the pinned root (with its key), SIGN_* the build's own signing
# leaf under it, PUBLISHER the name the checks expect. CONTAINER is the
# reference container, re-signed for the copies that the service must launch
# or refuse end to end (container_*.exe).

include("${IDENTITY_HELPERS}")
file(MAKE_DIRECTORY "${WORK_DIR}" "${OUT_DIR}")
# fixtures.cnf names this folder; openssl reads the whole file on every call.
set(dated_ca_dir "${WORK_DIR}/dated-ca")
set(ENV{QEB_DATED_CA_DIR} "${dated_ca_dir}")

# Keys cost most of the time and their values do not matter: make them once.
function(reuse_or_make_key key)
  if(NOT EXISTS "${key}")
    qeb_openssl_new_key("${key}")
  endif()
endfunction()
set(leaf_key "${WORK_DIR}/leaf.key")
set(other_root_key "${WORK_DIR}/other-root.key")
reuse_or_make_key("${leaf_key}")
reuse_or_make_key("${other_root_key}")

set(publisher_subject "/CN=${PUBLISHER}/O=${PUBLISHER}")

function(issue name subject section issuer_pem issuer_key)
  qeb_openssl_issue("${leaf_key}" "${WORK_DIR}/${name}.pem" "${subject}" 3650 ${section}
                    "${issuer_pem}" "${issuer_key}" "${CNF}")
endfunction()

# A certificate under the pinned root whose validity is the given window.
function(issue_dated name start end)
  issue_dated_as(${name} ${start} ${end} "${publisher_subject}" code_signing_ext "${leaf_key}")
endfunction()
function(issue_dated_as name start end subject section key)
  file(REMOVE_RECURSE "${dated_ca_dir}")
  file(MAKE_DIRECTORY "${dated_ca_dir}")
  file(WRITE "${dated_ca_dir}/index.txt" "")
  set(cert "${WORK_DIR}/${name}.pem")
  _qeb_openssl(req -new -config "${CNF}" -key "${key}" -subj "${subject}"
               -out "${cert}.csr")
  _qeb_openssl(ca -batch -config "${CNF}" -rand_serial -preserveDN -notext
               -in "${cert}.csr" -cert "${ROOT_PEM}" -keyfile "${ROOT_KEY}"
               -startdate ${start} -enddate ${end}
               -extfile "${CNF}" -extensions ${section} -out "${cert}")
  file(REMOVE "${cert}.csr")
endfunction()

# sign_copy(<name> <certs> <key> [<payload> [<timestamping options>...]])
function(sign_copy name certs key)
  set(out "${OUT_DIR}/${name}.exe")
  set(payload "${PAYLOAD}")
  if(ARGC GREATER 3)
    set(payload "${ARGV3}")
  endif()
  set(stamp)
  if(ARGC GREATER 4)
    list(SUBLIST ARGN 1 -1 stamp)
  endif()
  file(REMOVE "${out}.tmp")
  execute_process(
    COMMAND "${QEB_OSSLSIGNCODE}" sign -certs "${certs}" -key "${key}" -h sha256
            -n "QEB signature test" ${stamp} -in "${payload}" -out "${out}.tmp"
    RESULT_VARIABLE rc OUTPUT_VARIABLE log ERROR_VARIABLE log)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "signing ${name} failed (${rc}):\n${log}")
  endif()
  file(RENAME "${out}.tmp" "${out}")
endfunction()

configure_file("${PAYLOAD}" "${OUT_DIR}/unsigned.exe" COPYONLY)

# Signed by the build's own signing certificate.
sign_copy(good "${SIGN_CERT}" "${SIGN_KEY}")

# Right root, wrong certificate.
issue(other-publisher "/CN=Someone Else Ltd/O=Someone Else Ltd" code_signing_ext
      "${ROOT_PEM}" "${ROOT_KEY}")
sign_copy(other_publisher "${WORK_DIR}/other-publisher.pem" "${leaf_key}")
issue(server-auth "${publisher_subject}" server_auth_ext "${ROOT_PEM}" "${ROOT_KEY}")
sign_copy(wrong_eku "${WORK_DIR}/server-auth.pem" "${leaf_key}")
issue_dated(expired 20200101000000Z 20210101000000Z)
sign_copy(expired "${WORK_DIR}/expired.pem" "${leaf_key}")

# Right publisher name, wrong root.
qeb_openssl_self_signed("${other_root_key}" "${WORK_DIR}/foreign-root.pem"
                        "/CN=Foreign Test Root/O=Foreign Test Root" 3650 root_ext "${CNF}")
issue(foreign-leaf "${publisher_subject}" code_signing_ext
      "${WORK_DIR}/foreign-root.pem" "${other_root_key}")
# Its root travels in the signature, as an attacker would ship it.
file(READ "${WORK_DIR}/foreign-leaf.pem" leaf_text)
file(READ "${WORK_DIR}/foreign-root.pem" root_text)
file(WRITE "${WORK_DIR}/foreign-chain.pem" "${leaf_text}${root_text}")
sign_copy(foreign_root "${WORK_DIR}/foreign-chain.pem" "${leaf_key}")
# A root that copies the pinned root's name but has its own key.
qeb_openssl_self_signed("${other_root_key}" "${WORK_DIR}/impostor-root.pem"
                        "${ROOT_SUBJECT}" 3650 root_ext "${CNF}")
issue(impostor-leaf "${publisher_subject}" code_signing_ext
      "${WORK_DIR}/impostor-root.pem" "${other_root_key}")
sign_copy(impostor_root "${WORK_DIR}/impostor-leaf.pem" "${leaf_key}")

# Timestamped by osslsigncode's own authority, which stamps the time given:
# 2020-06-01, inside the expired leaf's year, and 2021-06-01, after it.
set(tsa_key "${WORK_DIR}/tsa.key")
reuse_or_make_key("${tsa_key}")
issue_dated_as(tsa 20190101000000Z 20400101000000Z "/CN=QEB Test Timestamping Authority" timestamping_ext
               "${tsa_key}")
set(while_valid -TSA-certs "${WORK_DIR}/tsa.pem" -TSA-key "${tsa_key}" -TSA-time 1590969600)
sign_copy(expired_stamped "${WORK_DIR}/expired.pem" "${leaf_key}" "${PAYLOAD}" ${while_valid})
sign_copy(expired_stamped_late "${WORK_DIR}/expired.pem" "${leaf_key}" "${PAYLOAD}"
          -TSA-certs "${WORK_DIR}/tsa.pem" -TSA-key "${tsa_key}" -TSA-time 1622505600)
# The same signer and time over another description, so another signature,
# whose token is as long as expired_stamped's: the test moves that one's
# token onto this one. The authority's serial numbers vary in length, so it
# is made again until the lengths agree.
function(token_length file out_var)
  file(READ "${file}" hex HEX)
  string(FIND "${hex}" "060a2b060104018237030301" at)  # the attribute's OID
  math(EXPR at "${at} + 24")
  string(SUBSTRING "${hex}" ${at} 8 header)  # SET, its length
  set(${out_var} "${header}" PARENT_SCOPE)
endfunction()
token_length("${OUT_DIR}/expired_stamped.exe" wanted)
foreach(attempt RANGE 1 200)
  file(REMOVE "${OUT_DIR}/restamped.tmp")
  execute_process(
    COMMAND "${QEB_OSSLSIGNCODE}" sign -certs "${WORK_DIR}/expired.pem" -key "${leaf_key}" -h sha256
            -n "QEB signature test, again" ${while_valid} -in "${PAYLOAD}" -out "${OUT_DIR}/restamped.tmp"
    RESULT_VARIABLE rc OUTPUT_QUIET ERROR_QUIET)
  token_length("${OUT_DIR}/restamped.tmp" got)
  if(rc EQUAL 0 AND got STREQUAL wanted)
    file(RENAME "${OUT_DIR}/restamped.tmp" "${OUT_DIR}/expired_restamped.exe")
    break()
  endif()
endforeach()
if(NOT EXISTS "${OUT_DIR}/expired_restamped.exe")
  message(FATAL_ERROR "no token of the length of expired_stamped's in 200 signatures")
endif()

# Valid for three years from the build, stamped five years on, after its end:
# a time still to come proves nothing, so the signature is judged now and
# passes. Judged at the stamp, or at no time at all, it would not. Dated from
# the build so that the stamp stays in the future.
string(TIMESTAMP now "%s" UTC)
math(EXPR five_years_on "${now} + 5 * 365 * 86400")
qeb_openssl_issue("${leaf_key}" "${WORK_DIR}/future.pem" "${publisher_subject}" 1095 code_signing_ext "${ROOT_PEM}"
                  "${ROOT_KEY}" "${CNF}")
sign_copy(future_stamped "${WORK_DIR}/future.pem" "${leaf_key}" "${PAYLOAD}"
          -TSA-certs "${WORK_DIR}/tsa.pem" -TSA-key "${tsa_key}" -TSA-time ${five_years_on})
# An authority under a root nobody pinned, stamping the same good time.
qeb_openssl_issue("${tsa_key}" "${WORK_DIR}/foreign-tsa.pem" "/CN=Foreign Timestamping Authority" 3650
                  timestamping_ext "${WORK_DIR}/foreign-root.pem" "${other_root_key}" "${CNF}")
file(READ "${WORK_DIR}/foreign-tsa.pem" tsa_text)
file(WRITE "${WORK_DIR}/foreign-tsa-chain.pem" "${tsa_text}${root_text}")
sign_copy(expired_foreign_stamp "${WORK_DIR}/expired.pem" "${leaf_key}" "${PAYLOAD}"
          -TSA-certs "${WORK_DIR}/foreign-tsa-chain.pem" -TSA-key "${tsa_key}" -TSA-time 1590969600)
# osslsigncode (as openssl ts) refuses to stamp with a certificate that lacks
# the time-stamping usage, so no such token is made here.

# The reference container, for the launches: expired but stamped while valid
# (runs), and signed under the pinned root by names that are not quite the
# publisher's (never runs): another company, the name with a suffix, the name
# cut short, the name only in another attribute.
sign_copy(container_expired_stamped "${WORK_DIR}/expired.pem" "${leaf_key}" "${CONTAINER}" ${while_valid})
sign_copy(container_other_publisher "${WORK_DIR}/other-publisher.pem" "${leaf_key}" "${CONTAINER}")
string(LENGTH "${PUBLISHER}" publisher_length)
math(EXPR publisher_length "${publisher_length} - 1")
string(SUBSTRING "${PUBLISHER}" 0 ${publisher_length} publisher_cut)
foreach(near IN ITEMS "suffix|/CN=${PUBLISHER} Ltd/O=${PUBLISHER} Ltd"
                      "prefix|/CN=${publisher_cut}/O=${publisher_cut}"
                      "elsewhere|/CN=Someone Else Ltd/O=Someone Else Ltd/OU=${PUBLISHER}")
  string(REPLACE "|" ";" near "${near}")
  list(GET near 0 kind)
  list(GET near 1 subject)
  issue(near-${kind} "${subject}" code_signing_ext "${ROOT_PEM}" "${ROOT_KEY}")
  sign_copy(container_name_${kind} "${WORK_DIR}/near-${kind}.pem" "${leaf_key}" "${CONTAINER}")
endforeach()

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
# issue_dated_as(<name> <start> <end> <subject> <section> <key> [<serial, hex>])
function(issue_dated_as name start end subject section key)
  file(REMOVE_RECURSE "${dated_ca_dir}")
  file(MAKE_DIRECTORY "${dated_ca_dir}")
  file(WRITE "${dated_ca_dir}/index.txt" "")
  set(serial -rand_serial)
  if(ARGC GREATER 6)
    file(WRITE "${dated_ca_dir}/serial" "${ARGV6}\n")
    set(serial)
  endif()
  set(cert "${WORK_DIR}/${name}.pem")
  _qeb_openssl(req -new -config "${CNF}" -key "${key}" -subj "${subject}"
               -out "${cert}.csr")
  _qeb_openssl(ca -batch -config "${CNF}" ${serial} -preserveDN -notext
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
# Its timestamp attribute given twice, which would leave the choice of time to
# whoever added the second.
execute_process(COMMAND "${PYTHON}" "${CMAKE_CURRENT_LIST_DIR}/stamp_twice.py" "${OUT_DIR}/expired_stamped.exe"
                        "${OUT_DIR}/expired_stamped_twice.exe" RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "stamp_twice.py failed (${rc})")
endif()
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
# Authorities that RFC 3161 does not admit, each stamping the expired signer
# while it was valid. The signer's own key, with a copy of its certificate
# that has the time-stamping usage, as osslsigncode needs one:
issue_dated_as(signer-as-tsa 20190101000000Z 20400101000000Z "${publisher_subject}" timestamping_ext "${leaf_key}")
sign_copy(expired_stamped_by_signer "${WORK_DIR}/expired.pem" "${leaf_key}" "${PAYLOAD}"
          -TSA-certs "${WORK_DIR}/signer-as-tsa.pem" -TSA-key "${leaf_key}" -TSA-time 1590969600)
# osslsigncode (as openssl ts) refuses to stamp with an authority whose usage
# is not critical or not time stamping alone. So the token is made by an
# admitted authority, and then that certificate is replaced, in the token's
# certificates, by one with the same issuer, serial number, key and length
# but the other usage: the token's signature still verifies with the key, and
# only the usage tells them apart. (The token's signed hash of its signer's
# certificate no longer matches, which the product does not read.)
function(der_size pem out_var)
  _qeb_openssl(x509 -in "${pem}" -outform DER -out "${pem}.der")
  file(SIZE "${pem}.der" size)
  set(${out_var} ${size} PARENT_SCOPE)
endfunction()
function(stamp_with_swapped_authority name bad_section serial)
  set(admitted "/CN=QEB Swapped Authority")
  set(swapped "${admitted}")
  foreach(round 1 2)
    issue_dated_as(${name}-admitted 20190101000000Z 20400101000000Z "${admitted}" timestamping_ext "${tsa_key}"
                   ${serial})
    issue_dated_as(${name}-swapped 20190101000000Z 20400101000000Z "${swapped}" ${bad_section} "${tsa_key}"
                   ${serial})
    der_size("${WORK_DIR}/${name}-admitted.pem" admitted_size)
    der_size("${WORK_DIR}/${name}-swapped.pem" swapped_size)
    math(EXPR shorter_by "${admitted_size} - ${swapped_size}")
    if(shorter_by GREATER 0)
      string(REPEAT "x" ${shorter_by} pad)
      string(APPEND swapped "${pad}")
    elseif(shorter_by LESS 0)
      math(EXPR shorter_by "0 - ${shorter_by}")
      string(REPEAT "x" ${shorter_by} pad)
      string(APPEND admitted "${pad}")
    endif()
  endforeach()
  sign_copy(${name} "${WORK_DIR}/expired.pem" "${leaf_key}" "${PAYLOAD}"
            -TSA-certs "${WORK_DIR}/${name}-admitted.pem" -TSA-key "${tsa_key}" -TSA-time 1590969600)
  execute_process(
    COMMAND perl -0777 -e [[
      binmode STDOUT;
      sub slurp { open my $f, "<:raw", $_[0] or die "$_[0]: $!"; local $/; return <$f>; }
      my ($file, $from, $to) = map { slurp($_) } @ARGV;
      die "the certificates differ in length" if length $from != length $to;
      my $count = $file =~ s/\Q$from\E/$to/g;
      die "the admitted certificate is not in the signature" if !$count;
      print $file;
    ]] "${OUT_DIR}/${name}.exe" "${WORK_DIR}/${name}-admitted.pem.der" "${WORK_DIR}/${name}-swapped.pem.der"
    OUTPUT_FILE "${OUT_DIR}/${name}.tmp" RESULT_VARIABLE rc ERROR_VARIABLE log)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "swapping the authority of ${name} failed (${rc}): ${log}")
  endif()
  file(RENAME "${OUT_DIR}/${name}.tmp" "${OUT_DIR}/${name}.exe")
endfunction()
stamp_with_swapped_authority(expired_stamped_noncritical timestamping_noncritical_ext 5A0001)
stamp_with_swapped_authority(expired_stamped_codesigning timestamping_codesigning_ext 5A0002)

# The reference container, for the launches: expired but stamped while valid
# (runs), and signed under the pinned root by names that are not quite the
# publisher's (never runs): another company, the name with a suffix, the name
# cut short, the name only in another attribute; and by the name in its
# common name alone (runs).
sign_copy(container_expired_stamped "${WORK_DIR}/expired.pem" "${leaf_key}" "${CONTAINER}" ${while_valid})
sign_copy(container_other_publisher "${WORK_DIR}/other-publisher.pem" "${leaf_key}" "${CONTAINER}")
string(LENGTH "${PUBLISHER}" publisher_length)
math(EXPR publisher_length "${publisher_length} - 1")
string(SUBSTRING "${PUBLISHER}" 0 ${publisher_length} publisher_cut)
foreach(near IN ITEMS "suffix|/CN=${PUBLISHER} Ltd/O=${PUBLISHER} Ltd"
                      "prefix|/CN=${publisher_cut}/O=${publisher_cut}"
                      "elsewhere|/CN=Someone Else Ltd/O=Someone Else Ltd/OU=${PUBLISHER}"
                      "cn_only|/CN=${PUBLISHER}")
  string(REPLACE "|" ";" near "${near}")
  list(GET near 0 kind)
  list(GET near 1 subject)
  issue(near-${kind} "${subject}" code_signing_ext "${ROOT_PEM}" "${ROOT_KEY}")
  sign_copy(container_name_${kind} "${WORK_DIR}/near-${kind}.pem" "${leaf_key}" "${CONTAINER}")
endforeach()

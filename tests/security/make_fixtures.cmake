# Makes the signature-check test images from the unsigned sample program:
# one copy per signing situation, all in OUT_DIR. Run at build time:
#   cmake -DQEB_OPENSSL=... -DQEB_OSSLSIGNCODE=... -DIDENTITY_HELPERS=...
#         -DCNF=fixtures.cnf -DROOT_PEM=... -DROOT_KEY=... -DROOT_SUBJECT=...
#         -DSIGN_CERT=... -DSIGN_KEY=... -DPUBLISHER=... -DPAYLOAD=...
#         -DWORK_DIR=... -DOUT_DIR=... -P make_fixtures.cmake
# ROOT_* is the pinned root (with its key), SIGN_* the build's own signing
# leaf under it, PUBLISHER the name the checks expect.

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

# A leaf under the pinned root whose validity is the given window.
function(issue_dated name start end)
  file(REMOVE_RECURSE "${dated_ca_dir}")
  file(MAKE_DIRECTORY "${dated_ca_dir}")
  file(WRITE "${dated_ca_dir}/index.txt" "")
  set(cert "${WORK_DIR}/${name}.pem")
  _qeb_openssl(req -new -config "${CNF}" -key "${leaf_key}" -subj "${publisher_subject}"
               -out "${cert}.csr")
  _qeb_openssl(ca -batch -config "${CNF}" -rand_serial -preserveDN -notext
               -in "${cert}.csr" -cert "${ROOT_PEM}" -keyfile "${ROOT_KEY}"
               -startdate ${start} -enddate ${end}
               -extfile "${CNF}" -extensions code_signing_ext -out "${cert}")
  file(REMOVE "${cert}.csr")
endfunction()

function(sign_copy name certs key)
  set(out "${OUT_DIR}/${name}.exe")
  file(REMOVE "${out}.tmp")
  execute_process(
    COMMAND "${QEB_OSSLSIGNCODE}" sign -certs "${certs}" -key "${key}" -h sha256
            -n "QEB signature test" -in "${PAYLOAD}" -out "${out}.tmp"
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

# Certificate making with the openssl command line, shared by the configure
# step (development identity) and by build-time scripts (test certificates).
# Every function expects QEB_OPENSSL to name the openssl program and stops the
# run with FATAL_ERROR when openssl fails, showing what it printed.

set(QEB_IDENTITY_CNF "${CMAKE_CURRENT_LIST_DIR}/identity.cnf")

function(_qeb_openssl)
  execute_process(COMMAND "${QEB_OPENSSL}" ${ARGN}
                  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(NOT rc EQUAL 0)
    string(REPLACE ";" " " cmd "${ARGN}")
    message(FATAL_ERROR "openssl ${cmd}\nfailed (${rc}):\n${out}")
  endif()
endfunction()

# A random positive serial number, so that certificates made at different
# times never share issuer and serial.
function(_qeb_random_serial out_var)
  string(RANDOM LENGTH 15 ALPHABET 0123456789ABCDEF s)
  set(${out_var} "0x1${s}" PARENT_SCOPE)
endfunction()

# qeb_openssl_new_key(<key.pem>): a fresh RSA key.
function(qeb_openssl_new_key key)
  _qeb_openssl(genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out "${key}")
endfunction()

# qeb_openssl_self_signed(<key> <cert.pem> <subject> <days> <extension section> [<cnf>])
function(qeb_openssl_self_signed key cert subject days section)
  set(cnf "${QEB_IDENTITY_CNF}")
  if(ARGC GREATER 5)
    set(cnf "${ARGV5}")
  endif()
  _qeb_random_serial(serial)
  _qeb_openssl(req -new -x509 -config "${cnf}" -key "${key}" -subj "${subject}" -sha256
               -days ${days} -set_serial ${serial} -extensions ${section} -out "${cert}")
endfunction()

# qeb_openssl_self_signed_dated(<key> <cert.pem> <subject> <start> <end> <extension section>)
# A self-signed certificate valid from <start> to <end> (YYYYMMDDHHMMSSZ),
# which "req -x509" cannot date: "ca -selfsign" with a throw-away database.
function(qeb_openssl_self_signed_dated key cert subject start end section)
  set(dir "${cert}.ca")
  file(REMOVE_RECURSE "${dir}")
  file(MAKE_DIRECTORY "${dir}")
  file(WRITE "${dir}/index.txt" "")
  file(READ "${QEB_IDENTITY_CNF}" cnf_text)
  file(WRITE "${dir}/ca.cnf" "${cnf_text}
[ca]
default_ca = dated_ca
[dated_ca]
database = ${dir}/index.txt
new_certs_dir = ${dir}
serial = ${dir}/serial
default_md = sha256
policy = policy_any
unique_subject = no
copy_extensions = none
email_in_dn = no
[policy_any]
commonName = supplied
organizationName = optional
")
  _qeb_openssl(req -new -config "${dir}/ca.cnf" -key "${key}" -subj "${subject}" -out "${dir}/req.csr")
  _qeb_openssl(ca -batch -config "${dir}/ca.cnf" -selfsign -keyfile "${key}" -rand_serial -preserveDN -notext
               -in "${dir}/req.csr" -startdate ${start} -enddate ${end}
               -extfile "${dir}/ca.cnf" -extensions ${section} -out "${cert}")
  file(REMOVE_RECURSE "${dir}")
endfunction()

# qeb_openssl_starts_before(<cert.pem> <year> <out_var>): whether the
# certificate's validity begins before that year.
function(qeb_openssl_starts_before cert year out_var)
  execute_process(COMMAND "${QEB_OPENSSL}" x509 -in "${cert}" -noout -startdate
                  RESULT_VARIABLE rc OUTPUT_VARIABLE start ERROR_QUIET)
  set(${out_var} FALSE PARENT_SCOPE)
  if(rc EQUAL 0 AND start MATCHES " ([0-9][0-9][0-9][0-9]) GMT")
    if(CMAKE_MATCH_1 LESS year)
      set(${out_var} TRUE PARENT_SCOPE)
    endif()
  endif()
endfunction()

# qeb_openssl_issue(<key> <cert.pem> <subject> <days> <extension section>
#                   <issuer cert> <issuer key> [<cnf>])
# Certifies <key> under <subject>, signed by the issuer, valid from now on.
function(qeb_openssl_issue key cert subject days section issuer_cert issuer_key)
  set(cnf "${QEB_IDENTITY_CNF}")
  if(ARGC GREATER 7)
    set(cnf "${ARGV7}")
  endif()
  _qeb_random_serial(serial)
  _qeb_openssl(req -new -config "${cnf}" -key "${key}" -subj "${subject}" -out "${cert}.csr")
  _qeb_openssl(x509 -req -in "${cert}.csr" -CA "${issuer_cert}" -CAkey "${issuer_key}"
               -set_serial ${serial} -days ${days} -sha256
               -extfile "${cnf}" -extensions ${section} -out "${cert}")
  file(REMOVE "${cert}.csr")
endfunction()

# qeb_openssl_to_der(<cert.pem> <cert.der>)
function(qeb_openssl_to_der pem der)
  _qeb_openssl(x509 -in "${pem}" -outform DER -out "${der}")
endfunction()

# qeb_openssl_valid_for(<cert.pem> <seconds> <out_var>): whether the
# certificate is still valid that many seconds from now.
function(qeb_openssl_valid_for cert seconds out_var)
  execute_process(COMMAND "${QEB_OPENSSL}" x509 -in "${cert}" -noout -checkend ${seconds}
                  RESULT_VARIABLE rc OUTPUT_QUIET ERROR_QUIET)
  if(rc EQUAL 0)
    set(${out_var} TRUE PARENT_SCOPE)
  else()
    set(${out_var} FALSE PARENT_SCOPE)
  endif()
endfunction()

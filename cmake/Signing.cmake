# Code-signing identity and the post-build signing step.
# qeb_sign_all_executables(<dir>) adds a signing step to every executable
# target defined in <dir> and below.
function(qeb_sign_all_executables dir)
endfunction()

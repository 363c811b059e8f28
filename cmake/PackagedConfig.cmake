# Writes the installed /etc/relaySvr/relaySvr.ini from the commented sample of
# the repository root: the same file, with LogLevel=connections,
# AnswerWindow=500, AnswerOrder=arrival and MaxConnectionsPerAddress=16 set
# in place of the sample's commented-out defaults, and why.
#
#   cmake -DIN=relaySvr.ini -DOUT=build/packaging/relaySvr.ini -P cmake/PackagedConfig.cmake
#
# Run at build time by Install.cmake, so an edit of the sample shows up in the
# next install and package. Fails when the sample no longer has a line that
# is replaced, rather than install a file with other settings.
if(NOT IN OR NOT OUT)
  message(FATAL_ERROR "usage: cmake -DIN=<sample> -DOUT=<file> -P PackagedConfig.cmake")
endif()

file(READ "${IN}" _ini)

# Replaces the sample's commented-out default line with the installed
# setting and why; fails when the line is gone. (The texts are passed quoted:
# unquoted, CMake would split them at every ";".)
function(install_setting default packaged)
  string(FIND "${_ini}" "\n${default}" _at)
  if(_at EQUAL -1)
    message(FATAL_ERROR "${IN}: no line \"${default}\" to put the installed setting in place of")
  endif()
  string(REPLACE "\n${default}" "\n${packaged}" _ini "${_ini}")
  set(_ini "${_ini}" PARENT_SCOPE)
endfunction()

string(CONCAT _text
  "; Installed setting: connections. \"chunks\" shows every chunk read, the\n"
  "; first two bytes of each request and the device it went to: use it to\n"
  "; follow single exchanges. The journal keeps at most 10,000 messages per\n"
  "; 30 s of one service by default (RateLimitBurst= and\n"
  "; RateLimitIntervalSec= in journald.conf, or LogRateLimitBurst= in a\n"
  "; drop-in for relaysvr.service); at 4 lines per request and answer it\n"
  "; starts dropping lines above about 83 requests per second.\n"
  "LogLevel=connections\n")
install_setting(";LogLevel=chunks\n" "${_text}")
string(CONCAT _text
  "; Installed setting: 500, so that answers that come in pieces over the\n"
  "; links devices use arrive whole.\n"
  "AnswerWindow=500\n")
install_setting(";AnswerWindow=0\n" "${_text}")
string(CONCAT _text
  "; Installed setting: arrival, so that each requester gets the answer to\n"
  "; its own question.\n"
  "AnswerOrder=arrival\n")
install_setting(";AnswerOrder=descriptor\n" "${_text}")
string(CONCAT _text
  "; Installed setting: 16, far above what one device needs while it\n"
  "; reconnects, far below the unit's LimitNOFILE.\n"
  "MaxConnectionsPerAddress=16\n")
install_setting(";MaxConnectionsPerAddress=0\n" "${_text}")

file(WRITE "${OUT}.tmp" "${_ini}")
file(RENAME "${OUT}.tmp" "${OUT}")

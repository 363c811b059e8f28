# Writes the installed /etc/relaySvr/relaySvr.ini from the commented sample of
# the repository root: the same file, with LogLevel=connections set in place
# of the sample's commented-out default, and why.
#
#   cmake -DIN=relaySvr.ini -DOUT=build/packaging/relaySvr.ini -P cmake/PackagedConfig.cmake
#
# Run at build time by Install.cmake, so an edit of the sample shows up in the
# next install and package. Fails when the sample no longer has the line that
# is replaced, rather than install a file at another log level.
if(NOT IN OR NOT OUT)
  message(FATAL_ERROR "usage: cmake -DIN=<sample> -DOUT=<file> -P PackagedConfig.cmake")
endif()

file(READ "${IN}" _ini)
set(_default ";LogLevel=chunks\n")
string(FIND "${_ini}" "\n${_default}" _at)
if(_at EQUAL -1)
  message(FATAL_ERROR "${IN}: no line \"${_default}\" to set the installed log level in place of")
endif()

string(CONCAT _packaged
  "; Installed setting: connections. \"chunks\" shows every chunk read, the\n"
  "; first two bytes of each request and the device it went to: use it to\n"
  "; follow single exchanges. The journal keeps at most 10,000 messages per\n"
  "; 30 s of one service by default (RateLimitBurst= and\n"
  "; RateLimitIntervalSec= in journald.conf, or LogRateLimitBurst= in a\n"
  "; drop-in for relaysvr.service); at 4 lines per request and answer it\n"
  "; starts dropping lines above about 83 requests per second.\n"
  "LogLevel=connections\n")
string(REPLACE "\n${_default}" "\n${_packaged}" _ini "${_ini}")
file(WRITE "${OUT}.tmp" "${_ini}")
file(RENAME "${OUT}.tmp" "${OUT}")

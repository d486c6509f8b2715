# Turns a text file into a C++ source that holds it byte for byte, so that a
# shipped data file is also part of the program:
#   cmake -DIN=message_TW.txt -DOUT=file.cpp -DNAME=kMessageTw -P embed_text.cmake
# The source defines `extern const char NAME[]` (with a terminator) and
# `extern const unsigned NAMESize` (without it).
file(READ "${IN}" hex HEX)
string(LENGTH "${hex}" digits)
math(EXPR size "${digits} / 2")
# Forty bytes to a line; \xHH escapes keep every byte as it is, whatever the
# compiler's source character set.
string(REPEAT "." 80 chunk)
string(REGEX REPLACE "(${chunk})" "\\1\n" hex "${hex}")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "\\\\x\\1" escaped "${hex}")
string(REPLACE "\n" "\"\n    \"" lines "${escaped}")
get_filename_component(from "${IN}" NAME)
file(WRITE "${OUT}.tmp"
  "// Generated from ${from} at build time; edit that file instead.\n"
  "extern const char ${NAME}[];\n"
  "extern const unsigned ${NAME}Size;\n"
  "const char ${NAME}[] =\n    \"${lines}\";\n"
  "const unsigned ${NAME}Size = ${size};\n")
file(COPY_FILE "${OUT}.tmp" "${OUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUT}.tmp")

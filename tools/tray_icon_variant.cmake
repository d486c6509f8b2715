# Writes a tray icon variant of the program's SVG, so every state shows the
# same tile and envelope and only what tells the state apart changes:
#   cmake -DIN=quillomark.svg -DOUT=variant.svg -DSTATE=detecting|noconnection -P tray_icon_variant.cmake
# detecting: an amber tile, the relay arrow turned into three dots.
# noconnection: a grey tile, a red cross where the relay arrow was.
file(READ "${IN}" svg)

if(STATE STREQUAL "detecting")
  set(top "#f5a623")
  set(bottom "#c26a00")
  set(relay [[<circle cx="146" cy="200" r="17" fill="#ffffff"/><circle cx="188" cy="200" r="17" fill="#ffffff"/><circle cx="230" cy="200" r="17" fill="#ffffff"/>]])
elseif(STATE STREQUAL "noconnection")
  set(top "#9aa0a6")
  set(bottom "#5f6368")
  set(relay [[<circle cx="196" cy="196" r="52" fill="#d93025" stroke="#ffffff" stroke-width="10"/><path d="M174 174 L218 218 M218 174 L174 218" stroke="#ffffff" stroke-width="18" stroke-linecap="round"/>]])
else()
  message(FATAL_ERROR "unknown tray icon state '${STATE}'")
endif()

# Only the tile's gradient: the envelope's flap shares its darker blue.
string(REPLACE [[stop-color="#3a7bd5"]] "stop-color=\"${top}\"" svg "${svg}")
string(REPLACE [[stop-color="#1f4e9c"]] "stop-color=\"${bottom}\"" svg "${svg}")

string(FIND "${svg}" [[<g id="relay">]] start)
if(start EQUAL -1)
  message(FATAL_ERROR "${IN} has no relay group to replace")
endif()
string(SUBSTRING "${svg}" ${start} -1 rest)
string(FIND "${rest}" "</g>" length)
string(SUBSTRING "${svg}" 0 ${start} head)
math(EXPR tail_at "${start} + ${length} + 4")
string(SUBSTRING "${svg}" ${tail_at} -1 tail)
file(WRITE "${OUT}" "${head}<g id=\"relay\">${relay}</g>${tail}")

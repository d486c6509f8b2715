// TrayIcons gives the tray icon for each state. The variants are drawn at
// build time from the program's own SVG (tools/tray_icon_variant.cmake), so
// they read as one program even at 16 px: the icon as it is while a connection
// is in use; an amber tile with the relay arrow turned into three dots while a
// detection run works; a grey tile with a red cross in place of the arrow when
// no usable connection is known.
#pragma once

#include <QIcon>

#include "ui/TrayState.h"

QIcon TrayIconFor(TrayStatus status);

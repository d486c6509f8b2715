// DisplayProbe decides, before any Qt application object exists, whether a
// window can be shown at all: Qt ends the process when its platform cannot
// open a display, and QuilloMark must then run headless instead. An X display
// counts when its server accepts a connection; a Wayland display when its
// socket exists and Qt has its platform plugin. The platforms "offscreen" and
// "minimal" show nothing to anybody and count as no display.
#pragma once

bool DisplayAvailable();

// ProgramIcon is QuilloMark's own icon for the title bar, the notification
// area and the About box: the picture kept as data/icons/quillomark.svg,
// rendered at build time at the sizes desktops ask for and built into the
// program, so no image plugin or file is needed at run time.
#pragma once

#include <QIcon>

QIcon ProgramIcon();

// resources.h -- identifiers shared by the uninstaller's resource script and its code.
#pragma once

#define DIALOG_UNINSTALL 102
#define ICON_UNINSTALL 101      // asked for at start-up; the program ships without one
#define CONTROL_PROGRESS 1000
#define VERSION_BLOCK 1

// Identifiers of the launcher's string resources, shared by the resource script and the code.
#pragma once

#define IDS_INSTALLER_MISSING 100
#define IDS_DAMAGED_PACKAGE 101
#define IDS_FOLDER_PROMPT 102
#define IDS_PREPARING 103
#define IDS_FOLDER_REFUSED 104

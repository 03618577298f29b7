#pragma once
// Identifiers of the resources every QEBCore executable carries; shared by
// the resource script and the programs that read the resources back.

// Icon group shown by Explorer and the service tools.
#define IDI_QEBCORE 100

// Service texts for installers (QEBCoreService.exe only), in en-US and de-DE.
#define IDS_SERVICE_DISPLAY_NAME 102
#define IDS_SERVICE_DESCRIPTION 103

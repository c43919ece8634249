// popctl_resource: ids of popctl's dialog templates and their controls.
#ifndef KVD_POPCTL_RESOURCE_H
#define KVD_POPCTL_RESOURCE_H

#define IDD_DENY_POPUP 101          // deny-logon popup
#define IDD_CHOICE_POPUP 102        // shutdown choice popup

#define IDC_DENY_MESSAGE 1000       // message of the deny-logon popup
#define IDC_POPUP_ICON 1001         // warning icon of both popups
#define IDC_CHOICE_MESSAGE 1002     // message of the choice popup
#define IDC_ACTION_COMBO 1006       // the three actions of the choice popup

#endif

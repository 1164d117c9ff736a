// Scan options dialog and folder tree.
#pragma once

// Dialog template of the scan options dialog.
#define IDD_SCAN_OPTIONS 136

// Scope radio buttons.
#define IDC_SCOPE_ALL_DRIVES 1006
#define IDC_SCOPE_C_DRIVE 1007
#define IDC_SCOPE_SELECTED 1008
// The folder tree.
#define IDC_FOLDER_TREE 1005
// Handling radio buttons.
#define IDC_HANDLING_PROMPT 1017
#define IDC_HANDLING_AUTOMATIC 1018
// The action controls: their group box and the four automatic actions.
#define IDC_ACTION_GROUP 1023
#define IDC_ACTION_DISINFECT 1019
#define IDC_ACTION_RENAME 1020
#define IDC_ACTION_DELETE 1021
#define IDC_ACTION_IGNORE 1022

// Progress dialog and virus-found prompt.
#pragma once

// Progress dialog.
#define IDD_PROGRESS 131
#define IDC_PROGRESS_LIST 1001
#define IDC_PROGRESS_OK 1003
#define IDC_PROGRESS_STATUS 1004
#define IDC_PROGRESS_HEADING 1032

// Virus-found prompt; its action buttons are created at run time with the
// action codes as identifiers.
#define IDD_PROMPT 138
#define IDC_PROMPT_APPLY_ALL 1028
#define IDC_PROMPT_OBJECT 1030
#define IDC_PROMPT_NAME 1031

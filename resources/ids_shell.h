#pragma once

// Start-up, main dialog, hyperlink and closing dialog.
#include "resources/maker.h"

// Controls without an identifier of their own.
#ifndef IDC_STATIC
#define IDC_STATIC (-1)
#endif

// Templates and the program icon.
#define IDD_MAIN 102
#define IDI_PROGRAM 128
#define IDD_CLOSING 130

// Main dialog.
#define IDC_DOWNLOAD_LINK 1015
#define IDC_DESCRIPTION 1032
#define IDC_QUESTION 1033

// Closing dialog.
#define IDC_WEB_SITE_LINK 1016
#define IDC_THANK_YOU 1032

// The version resource's numbers.
#define KRELVON_VERSION_NUMBERS 1, 6, 0, 0
#define KRELVON_VERSION_TEXT "1.6.0.0"

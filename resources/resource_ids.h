/* Resource identifiers shared by the resource script and the code. */
#pragma once

#define IDI_APPLICATION_ICON 1
#define IDD_PROGRESS_WINDOW 103
#define IDC_STATUS_TEXT (-1)
#define IDC_PROGRESS_BAR 1000

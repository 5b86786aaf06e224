/* Resource identifiers shared by the resource script and the code. */
#pragma once

#define IDI_APPLICATION_ICON 1
#define IDD_PROGRESS_WINDOW 103
#define IDC_STATUS_TEXT (-1)
#define IDC_PROGRESS_BAR 1000
/* The field profile's failure message (VELMORA_PROFILE=field only). */
#define IDD_FAILURE_WINDOW 104
#define IDC_FAILURE_TEXT 1001
#define IDC_LOG_PATH 1002

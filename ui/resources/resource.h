// Control identifiers of the MAIN dialog, shared by loader.rc and the code.
#pragma once

#define IDC_UPLOAD   1000
#define IDC_BROWSE   1001
#define IDC_FILENAME 1002
#define IDC_PROGRESS 1003
#define IDC_PORT     1004
#define IDC_STATUS   1005

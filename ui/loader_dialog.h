// The loader dialog's procedure and the file chooser, shared by the program and its tests.
#pragma once

#include <windows.h>

// Dialog procedure of the MAIN template: TRUE for the messages it handles, FALSE otherwise.
INT_PTR CALLBACK LoaderDlgProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);

// Lets the user pick an image file and puts the chosen path into the file name field.
void BrowseForImage();

// What the Upload/Stop button does: start a worker when none runs, else stop the running one.
void OnUploadPressed();

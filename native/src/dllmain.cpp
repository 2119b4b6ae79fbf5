#include <windows.h>

// Loading the library runs nothing of its own.
extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID)
{
    return TRUE;
}

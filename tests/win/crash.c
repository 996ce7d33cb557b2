/* A window program that crashes at once: under the tests' Wine prefix it must
   fail within seconds, so that no crash can pass for a hang or a hang for a
   pass.  (Wine offers its crash dialog to window programs.) */
#include <windows.h>

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR line, int show)
{
    volatile int* nowhere = 0;
    (void)instance, (void)previous, (void)line, (void)show;
    return *nowhere;
}

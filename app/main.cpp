// The stand-alone program.
#include "app/Log.h"
#include "platform/Text.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int)
{
    pelmo::InitLogging();
    pelmo::SetLogFileName(pelmo::ApplicationFolder() + L"Pelmo_Debug_Trevio.log");
    return 0;
}

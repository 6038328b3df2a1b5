// WOW64 file-system redirection switch. The functions are looked up once per
// run; on 32-bit Windows, or in a 64-bit process, the switch does nothing.
#pragma once

#include "platform/win.h"

namespace pelmo {

// Fills the two function slots when the process runs under WOW64.
void LoadWOW64Funcs();
// Turns redirection off; false (and no effect) when the slot is empty.
bool DisableWow64Redirection(void*& previous);
bool RevertWow64Redirection(void* previous);

// Redirection off for the life of the guard, restored on every path.
class Wow64RedirectionOff {
public:
    Wow64RedirectionOff() { m_active = DisableWow64Redirection(m_previous); }
    ~Wow64RedirectionOff()
    {
        if (m_active) RevertWow64Redirection(m_previous);
    }
    Wow64RedirectionOff(const Wow64RedirectionOff&) = delete;
    Wow64RedirectionOff& operator=(const Wow64RedirectionOff&) = delete;

private:
    void* m_previous = nullptr;
    bool m_active = false;
};

}  // namespace pelmo
